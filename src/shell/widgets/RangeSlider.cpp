#include "shell/widgets/RangeSlider.h"

#include "vexa/core/ExceptionStack.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <qdrawutil.h>
#include <algorithm>

RangeSlider::RangeSlider(int minimum, int maximum, int lineStep, int low, int mid, int high, QWidget* parent,
                         bool symmetric, const char* name)
    : QWidget(parent), minimum_(minimum), maximum_(std::max(minimum, maximum)), lineStep_(lineStep), low_(low),
      high_(high), mid_(mid), startLow_(low), startHigh_(high), startMid_(mid), symmetric_(symmetric)
{
    setFixedSize(20, 150);
    handle_ = QRect(0, 0, width(), 10);
    setAttribute(Qt::WA_OpaquePaintEvent);
    computeHalfWidths();
}

int RangeSlider::span() const
{
    return height() - handle_.height();
}

void RangeSlider::computeHalfWidths()
{
    if (!symmetric_)
    {
        upperHalfWidth_ = high_ - mid_;
        lowerHalfWidth_ = mid_ - low_;
        return;
    }
    // The narrower side wins.
    const int a = mid_ - low_, b = high_ - mid_;
    if (a < b)
    {
        upperHalfWidth_ = a;
        high_ = mid_ + a;
    }
    else
    {
        upperHalfWidth_ = b;
        low_ = mid_ - b;
    }
}

void RangeSlider::reset(int low, int mid, int high) try
{
    low_ = low >= 0 ? low : startLow_;
    mid_ = mid >= 0 ? mid : startMid_;
    high_ = high >= 0 ? high : startHigh_;
    computeHalfWidths();
}
VEXA_RETHROW

int RangeSlider::positionFromValue(int value, int span) const try
{
    // Larger values higher: the maximum at position 0, the minimum at the span.
    return QStyle::sliderPositionFromValue(minimum_, maximum_, std::clamp(value, minimum_, maximum_), span, true);
}
VEXA_RETHROW

int RangeSlider::valueFromPosition(int position, int span) const try
{
    return QStyle::sliderValueFromPosition(minimum_, maximum_, position, span, true);
}
VEXA_RETHROW

void RangeSlider::moveRangeSlider(int value) try
{
    const int gap = pageStep_;
    int v = std::clamp(value, minimum_, maximum_);
    switch (dragState_)
    {
    case LowHandle:
        if (v + gap >= mid_)
            v = mid_ - gap;
        if (symmetric_)
        {
            const int newHigh = 2 * mid_ - v;
            if (newHigh > maximum_)
                return;
            high_ = newHigh;
            low_ = v;
            upperHalfWidth_ = mid_ - v;
            emit highValueChanged(high_);
        }
        else
        {
            low_ = v;
            lowerHalfWidth_ = mid_ - v;
        }
        emit lowValueChanged(low_);
        break;
    case MidHandle:
        if (symmetric_)
        {
            if (v - upperHalfWidth_ < minimum_ || v + upperHalfWidth_ > maximum_)
                return;
            low_ = v - upperHalfWidth_;
            high_ = v + upperHalfWidth_;
            mid_ = v;
            emit highValueChanged(high_);
            emit lowValueChanged(low_);
            emit midValueChanged(mid_);
        }
        else
        {
            if (v - lowerHalfWidth_ < minimum_ || v + upperHalfWidth_ > maximum_)
                return;
            high_ = v + upperHalfWidth_;
            low_ = v - lowerHalfWidth_;
            mid_ = v;
            emit midValueChanged(mid_);
            emit highValueChanged(high_);
            emit lowValueChanged(low_);
        }
        break;
    case HighHandle:
        if (v - gap <= mid_)
            v = mid_ + gap;
        if (symmetric_)
        {
            const int newLow = 2 * mid_ - v;
            if (newLow < minimum_)
                return;
            low_ = newLow;
            high_ = v;
            upperHalfWidth_ = v - mid_;
            emit lowValueChanged(low_);
        }
        else
        {
            high_ = v;
            upperHalfWidth_ = v - mid_;
        }
        emit highValueChanged(high_);
        break;
    case Idle:
        return;
    }
    update();
}
VEXA_RETHROW

void RangeSlider::mousePressEvent(QMouseEvent* event) try
{
    if (event->button() == Qt::RightButton || event->button() == Qt::MiddleButton)
        return;
    const QPoint p = event->position().toPoint();
    // Where boxes overlap, high wins over low and low over middle.
    const std::pair<DragState, int> order[] = {{HighHandle, high_}, {LowHandle, low_}, {MidHandle, mid_}};
    for (const auto& [state, value] : order)
    {
        const int top = positionFromValue(value, span());
        if (handle_.translated(0, top).contains(p))
        {
            dragState_ = state;
            grabOffset_ = p.y() - top;
            return;
        }
    }
}
VEXA_RETHROW

void RangeSlider::mouseReleaseEvent(QMouseEvent*)
{
    dragState_ = Idle;
}

void RangeSlider::mouseMoveEvent(QMouseEvent* event) try
{
    if (dragState_ != Idle)
        moveRangeSlider(valueFromPosition(int(event->position().y()) - grabOffset_, span()));
}
VEXA_RETHROW

void RangeSlider::paintEvent(QPaintEvent*) try
{
    {
        QPainter painter(this);
        drawBackground(painter);
    }
    for (int value : {low_, mid_, high_})
    {
        QPainter painter(this);
        drawHandle(painter, value);
    }
}
VEXA_RETHROW

void RangeSlider::drawBackground(QPainter& painter) try
{
    const QRect r = rect();
    const int w = handle_.width(), h = handle_.height();
    QRect groove = r;
    groove.setLeft(r.left() + 2);
    groove.setWidth(w - (h + 1) / 2 - 2);
    const QColor background = palette().color(backgroundRole());
    painter.fillRect(QRect(QPoint(groove.right() + 1, r.top()), QPoint(r.right(), r.bottom())), background);
    painter.fillRect(QRect(r.left(), r.top(), 2, r.height()), background);

    // A sunken panel two pixels wide: with the bands inside it every pixel of the widget is
    // painted again, so nothing of a handle's old place stays (the widget paints opaquely).
    qDrawShadePanel(&painter, groove, palette(), true, 2);

    groove.adjust(2, 0, -2, 0);
    groove.setTop(2);
    // reset() may leave the values out of order; bands are drawn from ordered ones.
    const int lowValue = std::min(low_, high_), highValue = std::max(low_, high_);
    const int s = span();
    auto band = [&](int top, int bottom, const QColor& colour) {
        top = std::max(top, groove.top());
        if (bottom >= top)
            painter.fillRect(QRect(QPoint(groove.left(), top), QPoint(groove.right(), bottom)), colour);
    };
    // Disabled, the black band is greyed like the handles' outlines.
    const QColor below = isEnabled() ? QColor(Qt::black) : palette().color(foregroundRole());
    band(2, positionFromValue(highValue, s), Qt::white);
    band(positionFromValue(highValue + 1, s), positionFromValue(lowValue - 1, s), background);
    band(positionFromValue(lowValue + 1, s), r.bottom() - 2, below);
}
VEXA_RETHROW

void RangeSlider::drawHandle(QPainter& painter, int value) try
{
    const int x0 = handle_.left(), h = handle_.height();
    const int top = positionFromValue(value, span());
    const int bottom = top + h - 1;
    const int half = (h + 1) / 2 - 1;
    const int xr = handle_.right() - half - 1;
    painter.fillRect(QRect(QPoint(x0, top), QPoint(xr, bottom)), palette().color(backgroundRole()));
    painter.setPen(palette().color(foregroundRole()));
    painter.drawLine(x0, bottom, xr, bottom);
    painter.drawLine(xr, bottom, xr + half, top + half);
    painter.drawLine(xr + half, top + half, xr, top);
    painter.setPen(Qt::white);
    painter.drawLine(xr, top, x0, top);
    painter.drawLine(x0, top, x0, bottom);
}
VEXA_RETHROW
