#pragma once
// The FlashPoint optical tracker on a serial port: it measures single markers by numeric id
// and reports each as a text record "E<id> x y z status" (status 0x1000: valid). The driver
// tells the device the record format for every marker id of every tracker ("oe"), and while
// reporting a reader thread asks for a burst (a line feed) and turns the three records of
// each tracker into a pose by matching them to the tracker's three model points.
//
// The state is 1 while reporting and a response with a valid record came within 1000 ms.
// Numbers never follow the process locale; writes are bounded in time.
#include "navigation/NavigationCamera.h"
#include "navigation/TrackerData.h"
#include "platform/SerialPort.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Vexa {

class FlashPoint : public NavigationCamera
{
public:
    static std::shared_ptr<NavigationCamera> create(std::string port);
    // Throws std::runtime_error with the set-up failure's text; the port is then free.
    explicit FlashPoint(std::string port);
    ~FlashPoint() override;

    void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) override;
    void startReporting() override;
    void stopReporting() override;
    EState getState() override;
    std::string getName() override { return "FlashPoint"; }
    bool getCameraFlag() override { return false; }
    std::vector<Vector3D> getMarkerPositions() override { return {}; }

    // One record from its "E": the position and whether all five fields were read with
    // status 0x1000; (0, 0, 0) and false when it does not parse.
    static std::pair<bool, Vector3D> parseRecord(const std::string& record);
    // The pose carrying the model points onto the measured ones; invisible unless both lists
    // hold three points spanning a plane and every record was valid.
    static TrackerData computeTrackerData(const std::vector<Vector3D>& measured, const std::vector<Vector3D>& model,
                                          bool allValid);
    // A sample per tracker from one response; whether any record in it was valid.
    static std::vector<TrackerData> samplesFromResponse(const std::string& response,
                                                        const std::vector<std::shared_ptr<Tracker>>& trackers,
                                                        bool* anyValid = nullptr);
    static std::shared_ptr<Workspace> getDefaultWorkspace();

private:
    bool writePort(const std::string& command);
    bool readResponse();
    bool initFlashPoint();
    void readerThread();

    Platform::SerialPort port_;
    std::string response_;
    std::mutex trackersMutex_;
    std::vector<std::shared_ptr<Tracker>> trackers_;
    std::atomic<bool> reporting_{false};
    std::atomic<std::uint32_t> lastValid_{0};
    std::thread reader_;
};

}
