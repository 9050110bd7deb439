#pragma once
// A text anchored at its position by its alignment: AlignLeft puts the position at the left end,
// AlignHCenter in the middle, AlignRight at the right end; AlignTop, AlignVCenter and
// AlignBottom likewise vertically. Several lines are each aligned within the block.
// Point sizes below 1 become 1. "Arial" and "System" are drawn in installed look-alikes.
#include <QColor>
#include <QFont>
#include <QGraphicsItem>

class QGraphicsScene;

class CanvasText : public QGraphicsItem
{
public:
    CanvasText(QGraphicsScene* scene, const QString& text, Qt::Alignment flags, double z);

    // Liberation Sans for "Arial", DejaVu Sans for "System"; once per process.
    static void installFontSubstitutions();
    // Bold "Arial" of the given size (at least 1 point).
    static QFont arial(double pointSize);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setFont(const QFont& font);
    QFont font() const { return font_; }
    void setColor(const QColor& color);

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

private:
    void layout();

    QString text_;
    Qt::Alignment flags_;
    QFont font_;
    QColor color_ = Qt::white;
    QRectF box_;
};
