#pragma once
// What the calibration acceptance dialog asks of the navigation controller. The controller
// stops its state updates while the dialog is up; either answer starts them again.
class ICalibrationAcceptor
{
public:
    virtual ~ICalibrationAcceptor() = default;

    // Keeps (true) or discards (false) the calibration just measured.
    virtual void acceptLastCalibration(bool accept) = 0;
    virtual void setStateUpdatesEnabled(bool enabled) = 0;
};
