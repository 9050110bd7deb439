#pragma once
// The camera factory's search as a job, so that the shell can show progress for the few
// seconds it takes with nothing on the port: the replay hook, then the MicronTracker server,
// then a Polaris or Accedo, a FlashPoint and a Velor on the serial port. The first that
// answers is the result; each serial driver that finds nothing has freed the port again.
// A server error of the MicronTracker step other than its own passes to the caller. A search
// of the serial port only asks the three serial drivers.
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <memory>
#include <string>

namespace Vexa {

class NavigationCamera;

class CameraSearchJob : public IAlgorithmProgressState
{
public:
    static constexpr int steps = 5;
    enum Sources
    {
        Everything,
        SerialPortOnly
    };

    explicit CameraSearchJob(std::string serialPort, Sources sources = Everything);
    // True when a camera was found.
    bool start() override;
    void cancel() override {}
    double getProgressState() const override { return static_cast<double>(done_.load()) / steps; }
    std::string getShortDescription() const override { return "Searching the navigation camera"; }
    bool isCancelable() const override { return false; }
    // The camera found by `start`; empty when none answered.
    std::shared_ptr<NavigationCamera> getCamera() const { return camera_; }

private:
    std::string serialPort_;
    Sources sources_;
    std::atomic<int> done_{0};
    std::shared_ptr<NavigationCamera> camera_;
};

}
