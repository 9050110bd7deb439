#pragma once
// What the calibration acceptance dialog answers: its Accept button calls
// `acceptLastCalibration(true)` then `setStateUpdatesEnabled(true)`, its Cancel button (and
// Escape or closing) `acceptLastCalibration(false)` then `setStateUpdatesEnabled(true)`.
class ICalibrationAcceptor
{
public:
    virtual ~ICalibrationAcceptor() = default;
    virtual void acceptLastCalibration(bool accept) = 0;
    virtual bool setStateUpdatesEnabled(bool enabled) = 0;
};
