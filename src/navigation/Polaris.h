#pragma once
// The Polaris and Accedo optical tracking cameras on a serial port (NDI's text protocol):
// commands end in a carriage return, "GX:9001" and "PVWR" chunks carry a CRC-16/ARC as four
// upper-case hex digits, every reply carries one. The constructor opens the port and brings
// the device up (reset, 115200 baud, INIT, VER, VSEL, SFLIST); `setTracker` writes each
// tracker as a virtual tool into ports 'A' to 'I'; while reporting, a polling thread sends
// "GX:9001" every 50 ms and a reply thread turns the replies into samples.
//
// The port lock (a member) serialises every command with its reply and every poll. A reply
// is framed strictly at its carriage return; a reply that fails its CRC, says "ERROR", or
// does not parse in every field is a failed exchange that changes no sample. `stopReporting`
// waits for the reply thread to go idle, reads the "TSTOP" answer and purges the input, so
// the next command never reads a stale reply. Numbers never follow the process locale.
#include "navigation/NavigationCamera.h"
#include "navigation/TrackerData.h"
#include "platform/SerialPort.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Vexa {

class Polaris : public NavigationCamera
{
public:
    using ToolImage = std::array<std::uint8_t, 752>;

    // One parsed GX reply: a sample per tool (in handle order from 4) and the stray markers.
    struct TrackingData
    {
        std::vector<TrackerData> tools;
        std::vector<Vector3D> markers;
    };

    static std::shared_ptr<NavigationCamera> create(std::string port);
    // Throws std::runtime_error with the start-up failure's text; the port is then free.
    explicit Polaris(std::string port, std::function<std::uint32_t()> clock = {});
    ~Polaris() override;

    void setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) override;
    void startReporting() override;
    void stopReporting() override;
    EState getState() override { return static_cast<EState>(state_.load()); }
    std::string getName() override;
    bool getCameraFlag() override { return true; }
    std::vector<Vector3D> getMarkerPositions() override;
    // Defines every mapped tracker again, from port 'A'.
    virtual void loadVirtualTool();

    static std::shared_ptr<Workspace> getDefaultWorkspace();
    static std::shared_ptr<Workspace> getAccedoWorkspace();
    // The Accedo's outer quality volume as a binary STL image (2484 bytes, 48 facets).
    static const std::string& accedoFrustum();

    static std::uint16_t crc16(const std::string& text);
    // The bytes sent for a command: with CRC blanks become ':' and the CRC follows.
    static std::string frameCommand(const std::string& command, bool withCrc);
    // At least five characters, the CRC before the final carriage return right, no "ERROR"
    // (whose two-character code goes to errorCode).
    static bool checkReply(const std::string& reply, std::string* errorCode = nullptr);
    static ToolImage buildToolImage(const Tracker& tracker);
    // Parses a checked GX reply for up to `groups` tool groups (those it holds whole); nothing
    // for a malformed one.
    static std::optional<TrackingData> parseTrackingData(const std::string& reply, int groups);
    // One transformation line ("MISSING" and the like: the invisible default sample);
    // nothing for a malformed one.
    static std::optional<TrackerData> parseTransformation(const std::string& line);

private:
    bool sendCommand(const std::string& command, bool withCrc);
    bool receiveReply(int timeoutMs);
    bool exchange(const std::string& command, bool withCrc, int timeoutMs);
    void initPolaris();
    [[noreturn]] void failAndThrow(const std::string& text);
    void defineTool(char letter, const Tracker& tracker, const char* writeFailure, const char* initFailure);
    bool readTrackingData();
    void replyThread();
    void pollingThread();
    // Runs the step while reporting (the thread lock held), waits while not, until stopped.
    void whileRunning(const char* name, const std::function<void(std::unique_lock<std::mutex>&)>& step);
    std::uint32_t now() const;
    // Takes the port lock within 500 ms or throws the text.
    void lockPort(const char* failure);
    void stopThreads();

    const std::string portName_;
    const std::function<std::uint32_t()> clock_;
    Platform::SerialPort port_;
    std::mutex portMutex_;
    std::string reply_;
    std::string lastErrorCode_;
    std::mutex nameMutex_;
    std::string cameraName_;
    int toolGroups_ = 0;
    std::atomic<int> state_{NoData};
    std::mutex toolsMutex_; // tool map and markers
    std::map<int, std::shared_ptr<Tracker>> tools_;
    int loadedTools_ = 0;
    std::vector<Vector3D> markers_;

    std::mutex threadMutex_;
    std::condition_variable threadWake_;
    bool running_ = false;
    bool reporting_ = false;
    bool replyBusy_ = false;
    std::atomic<std::uint32_t> lastGoodReply_{0};
    std::thread replyThread_, pollingThread_;
};

}
