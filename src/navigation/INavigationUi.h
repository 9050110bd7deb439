#pragma once
// What the navigation controller asks of the user interface. The controller calls these in
// the GUI thread (requests of the timer thread are queued there), never holding its lock.
#include <memory>
#include <string>
#include <utility>

class ICalibrationAcceptor;

class INavigationUi
{
public:
    using Accuracy = std::pair<double, double>;

    virtual ~INavigationUi() = default;
    // The jaw selection dialog: 0 "Upper Jaw", 1 "Lower Jaw" (also for any other way out).
    virtual int chooseJaw() = 0;
    // Shows the calibration acceptance dialog with the last run's (mean, deviation) pairs, if
    // it is not visible yet; its buttons answer through the acceptor.
    virtual void showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy& before,
                                        const Accuracy& during, const Accuracy& after) = 0;
    virtual void playSound(const std::string& wavFile) = 0;
    // A failure the user must know of (a calibration that could not be saved).
    virtual void showError(const std::string& text) = 0;
};
