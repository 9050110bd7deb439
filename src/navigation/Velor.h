#pragma once
// The Velor optical tracking system on a serial port. Both directions speak one frame format
// (VelorFrameExtractor); host ids begin with 'C', device ids with 'M'. The constructor wakes
// the device with "CMH", sends "CSI" and accepts the port only when a well-formed device frame
// came back, then one reader thread turns "MPD" frames into samples. `setTracker` defines the
// tools ("CPM"), `startReporting` and `stopReporting` send "CRR" and "CMH". The state is 1
// while the last position message is at most 1000 ms old (the reader's start counts as one).
//
// Bad device data (unknown ids, tool indices outside the trackers, malformed fields) is
// dropped and logged; the reader thread runs on. The trackers are swapped under a lock.
#include "navigation/NavigationCamera.h"
#include "navigation/TrackerData.h"
#include "navigation/VelorFrameExtractor.h"
#include "platform/SerialPort.h"

#include <atomic>
#include <cstdint>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace Vexa {

class Velor : public NavigationCamera
{
public:
    static constexpr std::size_t maxFrame = 2048;

    static std::shared_ptr<Velor> create(const std::string& port);
    // Throws std::runtime_error with the connection failure's text; the port is then free.
    explicit Velor(const std::string& port);
    ~Velor() override;

    void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) override;
    void startReporting() override;
    void stopReporting() override;
    EState getState() override;
    std::string getName() override { return "Velor"; }
    bool getCameraFlag() override { return false; }
    std::vector<Vector3D> getMarkerPositions() override { return {}; }

    // The host frame with its NUL; empty (and logged) when longer than 2048 bytes.
    static std::string buildFrame(std::string_view id, std::string_view payload);
    // The "CPM" payload defining the trackers' tools.
    static std::string toolDefinitions(const std::vector<std::shared_ptr<Tracker>>& trackers);
    // The shared workspace of every Velor.
    static std::shared_ptr<Workspace> getDefaultWorkspace();

    // What one checked device frame asks for: a sample for the tool at an index, nothing,
    // or nothing because the id is unknown. Logs as the device's messages ask.
    struct Message
    {
        bool known = true;
        bool position = false; // any "MPD": the position time is renewed
        int tool = -1;         // >= 0 with a sample to store
        TrackerData sample;
    };
    static Message interpret(std::string_view id, std::string_view payload);

private:
    void handleFrame(std::string_view id, std::string_view payload);
    bool send(std::string_view id, std::string_view payload);
    void connect(const std::string& port);
    void readerThread();

    Platform::SerialPort port_;
    std::string portName_;
    VelorFrameExtractor extractor_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint32_t> lastPosition_{0};
    std::mutex trackersMutex_;
    std::vector<std::shared_ptr<Tracker>> trackers_;
    std::thread reader_;
};

}
