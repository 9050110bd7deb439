#include "shell/widgets/Slider.h"

#include "vexa/core/ExceptionStack.h"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>
#include <cmath>

Slider::Slider(Qt::Orientation orientation, QWidget* parent, const char* name) try : QSlider(orientation, parent)
{
    setUp(name);
}
VEXA_RETHROW

Slider::Slider(QWidget* parent, const char* name) try : QSlider(parent)
{
    setUp(name);
}
VEXA_RETHROW

void Slider::setUp(const char* name)
{
    if (name)
        setObjectName(name);
    setSingleStep(0);
    setPageStep(0);
    // Qt puts a vertical slider's minimum at the bottom; here it belongs at the top.
    if (orientation() == Qt::Vertical)
        setInvertedAppearance(true);
}

QRect Slider::handleRect() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
}

void Slider::mousePressEvent(QMouseEvent* event) try
{
    const QPointF p = event->position();
    if (!handleRect().contains(p.toPoint()))
    {
        // Fractions of the whole widget, truncated toward zero.
        const double fraction = orientation() == Qt::Horizontal ? p.x() / width() : p.y() / height();
        const int value = int(std::trunc(double(maximum() - minimum()) * fraction + minimum()));
        emit sliderPressed(value);
        setValue(value);
    }
    QSlider::mousePressEvent(event);
}
VEXA_RETHROW
