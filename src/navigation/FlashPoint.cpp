#include "navigation/FlashPoint.h"

#include "navigation/BoxWorkspace.h"
#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "platform/DebugOutput.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace Vexa {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t maxCommand = 2048;
constexpr std::uint32_t responseTimeoutMs = 1000;

// One scanf-like field: blanks skipped, an optional sign, then the number; false if none.
template <typename T>
bool scanField(const char*& at, const char* end, T& value, int base = 10)
{
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n'))
        ++at;
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-')) {
        negative = *at == '-';
        ++at;
    }
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>) {
        result = std::from_chars(at, end, value);
    } else {
        if (base == 16 && end - at > 2 && at[0] == '0' && (at[1] == 'x' || at[1] == 'X'))
            at += 2;
        result = std::from_chars(at, end, value, base);
    }
    if (result.ec != std::errc())
        return false;
    at = result.ptr;
    if (negative)
        value = -value;
    return true;
}

// Three points that span a plane: a coordinate system can be built on them.
bool spansPlane(const std::vector<Vector3D>& p)
{
    const Vector3D a = p[1] - p[0], b = p[2] - p[0];
    const Vector3D n(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
    return std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z) > 1e-6 * std::max(1.0, a.x * a.x + a.y * a.y + a.z * a.z);
}

}

std::shared_ptr<Workspace> FlashPoint::getDefaultWorkspace()
{
    static const std::shared_ptr<Workspace> workspace =
        BoxWorkspace{{{-100, -100, 1100}, {200, 200, 400}},
                        {{-200, -200, 1100}, {400, 400, 550}},
                        {{-300, -300, 1100}, {600, 600, 700}},
                        20.0, 40.0, 80.0, Vector3D(0, 0, 1300),
                        Matrix44<double>(Vector3D(-400, -400, 1100))}.create();
    return workspace;
}

std::shared_ptr<NavigationCamera> FlashPoint::create(std::string port)
{
    return std::make_shared<FlashPoint>(std::move(port));
}

FlashPoint::FlashPoint(std::string port) try : NavigationCamera(getDefaultWorkspace())
{
    if (!port_.open(port))
        throw std::runtime_error("Got no access to comport");
    if (!port_.configure(115200)) {
        port_.close();
        throw std::runtime_error("Error setting comm state");
    }
    if (!initFlashPoint()) {
        port_.close();
        throw std::runtime_error("Error initializing FlashPoint");
    }
}
VEXA_RETHROW

FlashPoint::~FlashPoint()
{
    stopReporting();
    port_.close();
}

bool FlashPoint::writePort(const std::string& command)
{
    if (command.size() + 1 > maxCommand)
        return false;
    const std::string bytes(command.c_str(), command.size() + 1);
    return port_.write(bytes, 1000) == static_cast<int>(bytes.size());
}

bool FlashPoint::readResponse()
{
    if (!writePort("\n"))
        return false;
    std::string bytes = port_.readSome(maxCommand, 200, 20);
    if (bytes.empty())
        return false;
    response_ = bytes.substr(0, bytes.find('\0'));
    return true;
}

bool FlashPoint::initFlashPoint()
{
    if (!writePort("i1") || !readResponse()
        || response_.find("Okay:  Interactive responses will be displayed.") == std::string::npos)
        return false;
    for (const char* command : {"i0\n", "o0\n", "umm\n", "b0\n", "osf\n", "gb1\n"})
        if (!writePort(command))
            return false;
    return true;
}

void FlashPoint::setTracker(std::vector<std::shared_ptr<Tracker>>& trackers)
{
    {
        std::lock_guard lock(trackersMutex_);
        trackers_ = trackers;
    }
    for (const auto& tracker : trackers)
        for (auto [it, end] = tracker->getIds(); it != end; ++it) {
            const std::string id = std::to_string(*it);
            if (!writePort("oe " + id + " \"E" + id + " %10.2f %10.2f %10.2f %4x\\r\\n\"\n"))
                return;
            std::this_thread::sleep_for(100ms);
        }
}

void FlashPoint::startReporting()
{
    if (reporting_.exchange(true))
        return;
    lastValid_ = timeGetTime();
    reader_ = std::thread(&FlashPoint::readerThread, this);
}

void FlashPoint::stopReporting()
{
    reporting_ = false;
    port_.cancel();
    if (reader_.joinable())
        reader_.join();
    port_.resetCancel();
}

FlashPoint::EState FlashPoint::getState()
{
    return reporting_ && timeGetTime() - lastValid_.load() <= responseTimeoutMs ? Running : NoData;
}

std::pair<bool, Vector3D> FlashPoint::parseRecord(const std::string& record)
{
    const char* at = record.data();
    const char* end = at + record.size();
    int id = 0;
    double x = 0, y = 0, z = 0;
    unsigned status = 0;
    if (at == end || *at++ != 'E' || !scanField(at, end, id) || !scanField(at, end, x) || !scanField(at, end, y)
        || !scanField(at, end, z) || !scanField(at, end, status, 16))
        return {false, Vector3D()};
    return {status == 0x1000 && std::isfinite(x) && std::isfinite(y) && std::isfinite(z), Vector3D(x, y, z)};
}

TrackerData FlashPoint::computeTrackerData(const std::vector<Vector3D>& measured, const std::vector<Vector3D>& model,
                                           bool allValid)
{
    if (measured.size() != 3 || model.size() != 3 || !spansPlane(model))
        return TrackerData();
    const Matrix44<double> a = createCoordinateSystem(model[0], model[1], model[2]);
    if (!allValid || !spansPlane(measured))
        return TrackerData(inverse(a), -1.0, false);
    const Matrix44<double> b = createCoordinateSystem(measured[0], measured[1], measured[2]);
    return TrackerData(b * inverse(a), -1.0, true);
}

std::vector<TrackerData> FlashPoint::samplesFromResponse(const std::string& response,
                                                         const std::vector<std::shared_ptr<Tracker>>& trackers,
                                                         bool* anyValid)
{
    std::vector<TrackerData> samples;
    for (const auto& tracker : trackers) {
        bool allValid = true;
        std::vector<Vector3D> measured;
        for (auto [it, end] = tracker->getIds(); it != end; ++it) {
            // Appended rather than "E" + ...: GCC 12 takes that for an overlapping copy (-Wrestrict).
            std::string record = "E";
            record += std::to_string(*it);
            record += ' ';
            const std::size_t at = response.find(record);
            if (at == std::string::npos)
                continue;
            const auto [valid, position] = parseRecord(response.substr(at, 100));
            allValid = allValid && valid;
            if (valid && anyValid)
                *anyValid = true;
            measured.push_back(position);
        }
        auto [it, end] = tracker->getPoints();
        samples.push_back(computeTrackerData(measured, std::vector<Vector3D>(it, end), allValid));
    }
    return samples;
}

void FlashPoint::readerThread()
{
    while (reporting_) {
        if (!readResponse())
            continue;
        std::vector<std::shared_ptr<Tracker>> trackers;
        {
            std::lock_guard lock(trackersMutex_);
            trackers = trackers_;
        }
        bool anyValid = false;
        const auto samples = samplesFromResponse(response_, trackers, &anyValid);
        for (std::size_t i = 0; i < trackers.size(); ++i)
            trackers[i]->setTrackerData(samples[i]);
        if (anyValid)
            lastValid_ = timeGetTime();
    }
}

}
