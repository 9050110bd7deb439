#pragma once
// A label whose plain text wraps at word boundaries (in a path: after a "/", never inside a name;
// a name wider than the label after its hyphens) and, where a word is wider than the label,
// anywhere inside it: nothing is ever cut off or elided. Each line is centred; the block of lines
// is centred vertically in the label.
#include <QLabel>
#include <QRect>
#include <QString>
#include <vector>

class WrappingLabel : public QLabel
{
    Q_OBJECT

public:
    explicit WrappingLabel(const QString& text, QWidget* parent = nullptr);

    // The width of the widest line when nothing wraps.
    int naturalWidth() const;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Where the lines are drawn, in the label's coordinates, at its present size.
    QRect textRect() const;

    // The lines the text is laid out in at that width (an empty line of the text stays one), as
    // drawn: with the joiners and breaks put into paths.
    struct Line
    {
        QString text;
        int width;
    };
    std::vector<Line> lines(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
