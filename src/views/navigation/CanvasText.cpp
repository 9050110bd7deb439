#include "views/navigation/CanvasText.h"

#include <QFontMetricsF>
#include <QGraphicsScene>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <mutex>

CanvasText::CanvasText(QGraphicsScene* scene, const QString& text, Qt::Alignment flags, double z)
    : text_(text), flags_(flags)
{
    installFontSubstitutions();
    font_ = arial(12);
    setZValue(z);
    layout();
    scene->addItem(this);
}

void CanvasText::installFontSubstitutions()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QFont::insertSubstitution("Arial", "Liberation Sans");
        QFont::insertSubstitution("System", "DejaVu Sans");
    });
}

QFont CanvasText::arial(double pointSize)
{
    installFontSubstitutions();
    QFont font("Arial");
    font.setPointSize(std::isfinite(pointSize) ? std::max(1, static_cast<int>(std::min(pointSize, 1000.0))) : 1);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    return font;
}

void CanvasText::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    layout();
}

void CanvasText::setFont(const QFont& font)
{
    font_ = font;
    if (font_.pointSize() < 1)
        font_.setPointSize(1);
    layout();
}

void CanvasText::setColor(const QColor& color)
{
    color_ = color;
    update();
}

void CanvasText::layout()
{
    prepareGeometryChange();
    const QSizeF size = QFontMetricsF(font_).size(0, text_);
    double left = 0, top = 0;
    if (flags_ & Qt::AlignHCenter)
        left = -size.width() / 2;
    else if (flags_ & Qt::AlignRight)
        left = -size.width();
    if (flags_ & Qt::AlignVCenter)
        top = -size.height() / 2;
    else if (flags_ & Qt::AlignBottom)
        top = -size.height();
    box_ = QRectF(left, top, size.width(), size.height());
}

QRectF CanvasText::boundingRect() const
{
    return box_;
}

void CanvasText::paint(QPainter* painter, const QStyleOptionGraphicsItem*, QWidget*)
{
    painter->setFont(font_);
    painter->setPen(color_);
    painter->drawText(box_, static_cast<int>(flags_ & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter, text_);
}
