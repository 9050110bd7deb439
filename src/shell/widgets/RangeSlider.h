#pragma once
// A vertical groove with three handles (low, middle, high) choosing a window of values inside a
// fixed range; larger values lie higher. The middle handle moves the whole window. The groove is
// white above the high handle, black below the low one, the background colour in between;
// disabled, the black band and the handles' outlines take the palette's greyed foreground.
//
// Positions are y coordinates of a handle's top edge (0 at the top); span is the widget's height
// minus the handle's height. Signals are emitted on every accepted move, also without a change;
// a refused move changes nothing and emits nothing.
#include <QRect>
#include <QWidget>

class RangeSlider : public QWidget
{
    Q_OBJECT

public:
    enum DragState { Idle = 0, LowHandle = 1, MidHandle = 2, HighHandle = 3 };

    RangeSlider(int minimum, int maximum, int lineStep, int low, int mid, int high, QWidget* parent,
                bool symmetric = false, const char* name = nullptr);

    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    int lineStep() const { return lineStep_; }
    // The least distance between neighbouring handles while dragging (0 unless set).
    int pageStep() const { return pageStep_; }
    void setPageStep(int step) { pageStep_ = step; }
    int low() const { return low_; }
    int mid() const { return mid_; }
    int high() const { return high_; }
    DragState dragState() const { return dragState_; }
    int span() const;

    // A value of 0 or more replaces the handle's value, a negative one restores its start value;
    // then the half widths are recomputed. No repaint, no signal.
    void reset(int low, int mid, int high);
    // Moves the grabbed handle to the value (the drag state says which).
    void moveRangeSlider(int value);
    // Starts a drag of one handle as a press would (for callers and tests without a mouse).
    void setDragState(DragState state) { dragState_ = state; }

    virtual int positionFromValue(int value, int span) const;
    virtual int valueFromPosition(int position, int span) const;

signals:
    void lowValueChanged(int value);
    void midValueChanged(int value);
    void highValueChanged(int value);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

    void drawBackground(QPainter& painter);
    void drawHandle(QPainter& painter, int value);

private:
    void computeHalfWidths();

    int minimum_;
    int maximum_;
    int lineStep_;
    int pageStep_ = 0;
    int low_;
    int high_;
    int mid_;
    const int startLow_;
    const int startHigh_;
    const int startMid_;
    const bool symmetric_;
    int upperHalfWidth_ = 0;
    int lowerHalfWidth_ = 0;
    DragState dragState_ = Idle;
    int grabOffset_ = 0;
    QRect handle_;
};
