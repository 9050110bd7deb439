#pragma once
// A slider that jumps straight to the clicked value instead of paging, and reports that value
// in `sliderPressed(int)` before `valueChanged`. A vertical one has its minimum at the top.
// Keys and clicks in the groove never step (both steps are 0).
#include <QSlider>

class Slider : public QSlider
{
    Q_OBJECT

public:
    Slider(Qt::Orientation orientation, QWidget* parent, const char* name = nullptr);
    explicit Slider(QWidget* parent, const char* name = nullptr);

    // The handle's rectangle in widget coordinates.
    QRect handleRect() const;

signals:
    void sliderPressed(int value);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void setUp(const char* name);
};
