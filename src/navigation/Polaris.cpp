#include "navigation/Polaris.h"

#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "platform/DebugOutput.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace Vexa {

namespace {

using namespace std::chrono_literals;

constexpr int replyLimit = 2047;
constexpr std::uint32_t dataTimeoutMs = 1000;

const std::array<std::uint16_t, 256>& crcTable()
{
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned crc = i;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
            t[i] = static_cast<std::uint16_t>(crc);
        }
        return t;
    }();
    return table;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

// A signed fixed-width decimal field ("+01234", "-000123"): sign and digits only.
std::optional<long> signedField(const std::string& text, std::size_t at, std::size_t width)
{
    if (at + width > text.size() || (text[at] != '+' && text[at] != '-'))
        return std::nullopt;
    long value = 0;
    for (std::size_t i = at + 1; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return text[at] == '-' ? -value : value;
}

// The next line (without its line feed); nothing when no line feed is left.
std::optional<std::string> nextLine(const std::string& text, std::size_t& at)
{
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos)
        return std::nullopt;
    std::string line = text.substr(at, end - at);
    at = end + 1;
    return line;
}

// A number line: up to its line feed (or carriage return when it has none).
bool skipNumberLine(const std::string& text, std::size_t& at)
{
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos)
        end = text.find('\r', at);
    if (end == std::string::npos || end == at)
        return false;
    at = end + 1;
    return true;
}

void putU32(Polaris::ToolImage& image, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putFloat(Polaris::ToolImage& image, std::size_t at, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    putU32(image, at, bits);
}

std::shared_ptr<Workspace> workspaceWith(std::shared_ptr<IndexedTriangleMesh> inner,
                                         std::shared_ptr<IndexedTriangleMesh> outer,
                                         std::shared_ptr<IndexedTriangleMesh> volume, const Vector3D& reference)
{
    const Matrix44<double> cameraToWorkspace(Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(0, 0, -1), Vector3D());
    return Workspace::create(std::move(inner), std::move(outer), std::move(volume), 30.0, 36.0, 80.0, reference,
                             cameraToWorkspace);
}

std::shared_ptr<IndexedTriangleMesh> box(double x, double y, double z, double sx, double sy, double sz)
{
    return createBoxMesh(Matrix44<double>(Vector3D(x, y, z)), Vector3D(sx, sy, sz));
}

}

std::uint16_t Polaris::crc16(const std::string& text)
{
    unsigned crc = 0;
    for (unsigned char b : text)
        crc = (crc >> 8) ^ crcTable()[(crc ^ b) & 0xFF];
    return static_cast<std::uint16_t>(crc);
}

std::string Polaris::frameCommand(const std::string& command, bool withCrc)
{
    if (!withCrc)
        return command + '\r';
    std::string text = command;
    for (char& c : text)
        if (c == ' ')
            c = ':';
    return text + hex4(crc16(text)) + '\r';
}

bool Polaris::checkReply(const std::string& reply, std::string* errorCode)
{
    if (reply.size() < 5 || reply.back() != '\r')
        return false;
    const std::string body = reply.substr(0, reply.size() - 5);
    if (reply.compare(reply.size() - 5, 4, hex4(crc16(body))) != 0)
        return false;
    if (body.rfind("ERROR", 0) == 0) {
        if (errorCode)
            *errorCode = body.substr(5, 2);
        return false;
    }
    return true;
}

Polaris::ToolImage Polaris::buildToolImage(const Tracker& tracker)
{
    ToolImage image{};
    image[0] = 'N';
    image[1] = 'D';
    image[2] = 'I';
    putU32(image, 8, 1);
    putU32(image, 12, 0x01000001);
    putU32(image, 16, 1);
    putU32(image, 20, 0x33334C04);
    putU32(image, 24, 60);
    putU32(image, 28, 3);
    putU32(image, 32, 3);
    putFloat(image, 36, 1.0f);
    putFloat(image, 64, 10.0f);
    std::size_t at = 72;
    for (auto [it, end] = tracker.getPoints(); it != end && at < 552; ++it, at += 12) {
        putFloat(image, at, static_cast<float>(it->x));
        putFloat(image, at + 4, static_cast<float>(it->y));
        putFloat(image, at + 8, 0.0f);
    }
    image[552] = 0;
    image[553] = 1;
    image[554] = 2;
    putU32(image, 572, 0x1F1F1F1F);
    image[576] = 9;
    std::memcpy(&image[580], "Morvanta", 9);
    image[592] = 50;
    image[612] = 9;
    image[613] = image[614] = image[615] = 1;
    image[633] = image[634] = image[635] = 1;
    image[653] = 128;
    image[655] = 41;
    std::uint32_t sum = 0;
    for (std::size_t i = 8; i < image.size(); ++i)
        sum += image[i];
    putU32(image, 4, sum);
    return image;
}

std::optional<TrackerData> Polaris::parseTransformation(const std::string& line)
{
    if (line.empty() || (line[0] != '+' && line[0] != '-'))
        return TrackerData();
    long v[8];
    const std::size_t at[8] = {0, 6, 12, 18, 24, 31, 38, 45};
    const std::size_t width[8] = {6, 6, 6, 6, 7, 7, 7, 6};
    for (int i = 0; i < 8; ++i) {
        const auto field = signedField(line, at[i], width[i]);
        if (!field)
            return std::nullopt;
        v[i] = *field;
    }
    // A reply can pass its CRC and still carry a quaternion that is no rotation: that tool was
    // not seen. Rounding of the four-digit fields is normalised away.
    const auto rotation = unitQuaternion({v[0] * 0.0001, v[1] * 0.0001, v[2] * 0.0001, v[3] * 0.0001});
    if (!rotation)
        return TrackerData();
    TrackerData sample;
    sample.setRotation(*rotation);
    sample.setTranslation(Vector3D(v[4] * 0.01, v[5] * 0.01, v[6] * 0.01));
    sample.setError(v[7] * 0.0001);
    sample.setVisible(true);
    return sample;
}

std::optional<Polaris::TrackingData> Polaris::parseTrackingData(const std::string& reply, int groups)
{
    TrackingData data;
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const auto line = nextLine(reply, at);
        if (!line || !parseTransformation(*line))
            return std::nullopt;
    }
    if (!skipNumberLine(reply, at))
        return std::nullopt;
    // The stray markers are the last line, the only one without a line feed. The groups lie
    // before it, however many the device announced at start-up: a group cut short ends them,
    // and groups beyond the announced count are passed over.
    const std::size_t markersAt = reply.rfind('\n') + 1;
    for (int g = 0; g < groups && at < markersAt; ++g) {
        std::size_t next = at;
        std::vector<TrackerData> group;
        for (int i = 0; i < 3; ++i) {
            const auto line = nextLine(reply, next);
            if (!line || next >= markersAt)
                break;
            const auto sample = parseTransformation(*line);
            if (!sample)
                return std::nullopt;
            group.push_back(*sample);
        }
        if (group.size() < 3 || !skipNumberLine(reply, next) || next > markersAt)
            break;
        data.tools.insert(data.tools.end(), group.begin(), group.end());
        at = next;
        const std::string rest = reply.substr(at);
        if (!rest.empty() && rest[0] == '+' && ((rest.size() > 3 && (rest[3] == '+' || rest[3] == '-')) || rest.size() == 8))
            break;
    }
    at = markersAt;
    // Stray markers: a three-character count, then 21 characters each, then the CRC.
    if (at + 3 > reply.size())
        return std::nullopt;
    const std::string countText = reply.substr(at, 3);
    const auto count = countText[0] == '+' || countText[0] == '-' ? signedField(countText, 0, 3) : signedField("+" + countText, 0, 4);
    if (!count || *count < 0 || at + 3 + static_cast<std::size_t>(*count) * 21 + 5 > reply.size())
        return std::nullopt;
    at += 3;
    for (long m = 0; m < *count; ++m, at += 21) {
        const auto x = signedField(reply, at, 7), y = signedField(reply, at + 7, 7), z = signedField(reply, at + 14, 7);
        if (!x || !y || !z)
            return std::nullopt;
        data.markers.emplace_back(*x * 0.01, *y * 0.01, *z * 0.01);
    }
    return data;
}

std::shared_ptr<NavigationCamera> Polaris::create(std::string port)
{
    return std::make_shared<Polaris>(std::move(port));
}

Polaris::Polaris(std::string port, std::function<std::uint32_t()> clock) try
    : NavigationCamera(getDefaultWorkspace()), portName_(std::move(port)), clock_(std::move(clock))
{
    reply_.reserve(2048);
    initPolaris();
}
VEXA_RETHROW

Polaris::~Polaris()
{
    if (port_.isOpen()) {
        try {
            bool reporting;
            {
                std::lock_guard lock(threadMutex_);
                reporting = reporting_;
            }
            if (reporting)
                stopReporting();
        } catch (const std::exception& e) {
            Platform::outputDebugString(std::string("Polaris: ") + e.what() + "\n");
        }
    }
    stopThreads();
    port_.close();
}

void Polaris::stopThreads()
{
    {
        std::lock_guard lock(threadMutex_);
        running_ = false;
        reporting_ = false;
    }
    threadWake_.notify_all();
    port_.cancel();
    if (replyThread_.joinable())
        replyThread_.join();
    if (pollingThread_.joinable())
        pollingThread_.join();
    port_.resetCancel();
}

std::uint32_t Polaris::now() const
{
    return clock_ ? clock_() : timeGetTime();
}

std::string Polaris::getName()
{
    std::lock_guard lock(nameMutex_);
    return cameraName_;
}

std::vector<Vector3D> Polaris::getMarkerPositions()
{
    std::lock_guard lock(toolsMutex_);
    return markers_;
}

bool Polaris::sendCommand(const std::string& command, bool withCrc)
{
    if (command.size() >= 2042)
        return false;
    return port_.write(frameCommand(command, withCrc), 1000) > 0;
}

bool Polaris::receiveReply(int timeoutMs)
{
    return port_.readUntil('\r', replyLimit, timeoutMs, reply_) && checkReply(reply_, &lastErrorCode_);
}

bool Polaris::exchange(const std::string& command, bool withCrc, int timeoutMs)
{
    return sendCommand(command, withCrc) && receiveReply(timeoutMs);
}

void Polaris::lockPort(const char* failure)
{
    // Tries every millisecond rather than a timed wait: ThreadSanitizer does not follow the
    // C library's timed mutex lock and would take every later unlock for a fault.
    const auto end = std::chrono::steady_clock::now() + 500ms;
    while (!portMutex_.try_lock()) {
        if (std::chrono::steady_clock::now() >= end)
            throw std::runtime_error(failure);
        std::this_thread::sleep_for(1ms);
    }
}

void Polaris::failAndThrow(const std::string& text)
{
    portMutex_.unlock();
    port_.close();
    throw std::runtime_error(text);
}

void Polaris::initPolaris()
{
    lockPort("initPolaris(): Couldn't get Semaphore");
    {
        std::lock_guard lock(threadMutex_);
        reporting_ = false;
    }
    if (!port_.isOpen() && !port_.open(portName_)) {
        portMutex_.unlock();
        throw std::runtime_error("COMM: Invalid handle");
    }
    if (!port_.configure(9600))
        failAndThrow("Polaris::Polaris : Com not initialized");
    port_.purge();
    port_.readSome(replyLimit, 50, 50);
    // Reset by a serial break.
    port_.setBreak(true);
    std::this_thread::sleep_for(1000ms);
    port_.setBreak(false);
    if (!receiveReply(300))
        failAndThrow("Polaris::Polaris : Hardware Reset failed");
    if (!sendCommand("COMM 50000", false))
        failAndThrow("Polaris::Polaris : Send failed");
    std::this_thread::sleep_for(200ms);
    if (!receiveReply(300))
        failAndThrow("Polaris::Polaris : Init failed");
    if (!port_.configure(115200))
        failAndThrow("Polaris::Polaris : SetCommState failed");
    if (!exchange("INIT ", false, 300) || !exchange("VER 4", false, 300))
        failAndThrow("Polaris::Polaris : Init failed");
    std::string name;
    if (reply_.find("Accedo") != std::string::npos) {
        setWorkspace(getAccedoWorkspace());
        name = "Accedo";
    } else if (reply_.find("Polaris") != std::string::npos) {
        name = "Polaris";
        if (!exchange("VSEL 2", false, 1000))
            failAndThrow("Polaris::Polaris : Low range Volume of Polaris not calibrated");
    } else {
        failAndThrow("Polaris::Polaris : CameraType is not Polaris or Accedo");
    }
    // The tool groups drive the GX parser: an answer that does not start with a digit would
    // leave every tool without samples.
    if (!exchange("SFLIST 02", false, 300) || reply_[0] < '0' || reply_[0] > '9')
        failAndThrow("Polaris::Polaris : Init failed");
    toolGroups_ = reply_[0] - '0';
    {
        std::lock_guard lock(nameMutex_);
        cameraName_ = name;
    }
    state_ = Running;
    {
        std::lock_guard lock(threadMutex_);
        if (!running_) {
            running_ = true;
            replyThread_ = std::thread(&Polaris::replyThread, this);
            pollingThread_ = std::thread(&Polaris::pollingThread, this);
        }
    }
    portMutex_.unlock();
}

void Polaris::defineTool(char letter, const Tracker& tracker, const char* writeFailure, const char* initFailure)
{
    std::array<std::uint8_t, 1024> bytes{};
    const ToolImage image = buildToolImage(tracker);
    std::copy(image.begin(), image.end(), bytes.begin());
    for (unsigned address = 0; address < bytes.size(); address += 64) {
        char head[16];
        std::snprintf(head, sizeof head, "PVWR:%c%04X", letter, address);
        std::string command = head;
        for (unsigned i = 0; i < 64; ++i) {
            char digits[4];
            std::snprintf(digits, sizeof digits, "%02X", bytes[address + i]);
            command += digits;
        }
        if (!exchange(command, true, 2000))
            throw std::runtime_error(writeFailure);
    }
    if (!exchange(std::string("PINIT ") + letter, false, 300))
        throw std::runtime_error(initFailure);
    if (!exchange(std::string("PENA ") + letter + 'D', false, 300))
        throw std::runtime_error("Port enablen gescheitert");
}

void Polaris::setTracker(std::vector<std::shared_ptr<Tracker>>& trackers) try
{
    {
        std::lock_guard lock(threadMutex_);
        if (reporting_)
            throw std::runtime_error("Polaris::setTracker(): tools cannot be defined while the camera is reporting");
    }
    lockPort("initPolaris(): Couldn't get Semaphore");
    std::unique_lock port(portMutex_, std::adopt_lock);
    for (const auto& tracker : trackers) {
        const char letter = static_cast<char>('A' + loadedTools_);
        if (letter > 'I')
            break;
        if (!tracker)
            continue;
        {
            std::lock_guard lock(toolsMutex_);
            tools_[letter - 61] = tracker;
        }
        defineTool(letter, *tracker, "Polaris::setTracker(): Load Virtual Tool gescheitert",
                   "Polaris::setTracker(): Init gescheitert");
        ++loadedTools_;
    }
}
VEXA_RETHROW

void Polaris::loadVirtualTool() try
{
    lockPort("initPolaris(): Couldn't get Semaphore");
    std::unique_lock port(portMutex_, std::adopt_lock);
    loadedTools_ = 0;
    std::map<int, std::shared_ptr<Tracker>> tools;
    {
        std::lock_guard lock(toolsMutex_);
        tools = tools_;
    }
    for (const auto& [handle, tracker] : tools) {
        const char letter = static_cast<char>('A' + loadedTools_);
        if (letter > 'I')
            break;
        if (!tracker)
            continue;
        defineTool(letter, *tracker, "Load Virtual Tool gescheitert", "Init gescheitert");
        ++loadedTools_;
    }
}
VEXA_RETHROW

void Polaris::startReporting() try
{
    lockPort("initPolaris(): Couldn't get Semaphore");
    std::unique_lock port(portMutex_, std::adopt_lock);
    if (!exchange("TSTART ", false, 300))
        throw std::runtime_error("Polaris::startReporting()");
    lastGoodReply_ = now();
    {
        std::lock_guard lock(threadMutex_);
        reporting_ = true;
    }
    threadWake_.notify_all();
}
VEXA_RETHROW

void Polaris::stopReporting() try
{
    lockPort("Polaris::stopReporting(): Couldn't get Semaphore");
    std::unique_lock port(portMutex_, std::adopt_lock);
    {
        std::unique_lock lock(threadMutex_);
        reporting_ = false;
        port_.cancel(); // a reply read in progress ends now
        threadWake_.wait(lock, [this] { return !replyBusy_; });
    }
    port_.resetCancel();
    sendCommand("TSTOP ", false);
    // The answer, after any GX reply that was still on its way; then nothing is left.
    for (int i = 0; i < 8 && port_.readUntil('\r', replyLimit, 300, reply_); ++i)
        if (reply_.rfind("OKAY", 0) == 0 || reply_.rfind("ERROR", 0) == 0)
            break;
    port_.purge();
}
VEXA_RETHROW

bool Polaris::readTrackingData()
{
    if (!receiveReply(300))
        return false;
    const auto data = parseTrackingData(reply_, toolGroups_);
    if (!data)
        return false;
    std::lock_guard lock(toolsMutex_);
    // A tool of a group the reply does not hold was not seen.
    for (std::size_t k = 0; k < tools_.size(); ++k) {
        const auto it = tools_.find(static_cast<int>(k) + 4);
        if (it != tools_.end() && it->second)
            it->second->setTrackerData(k < data->tools.size() ? data->tools[k] : TrackerData());
    }
    markers_ = data->markers;
    return true;
}

void Polaris::whileRunning(const char* name, const std::function<void(std::unique_lock<std::mutex>&)>& step)
{
    try {
        std::unique_lock lock(threadMutex_);
        while (running_) {
            if (!reporting_)
                threadWake_.wait(lock);
            else
                step(lock);
        }
    } catch (const std::exception& e) {
        // Nothing may leave a thread; without polls or replies the state falls to 0.
        state_ = NoData;
        Platform::outputDebugString(std::string("Polaris ") + name + ": " + e.what() + "\n");
    }
}

void Polaris::replyThread()
{
    whileRunning("reply thread", [this](std::unique_lock<std::mutex>& lock) {
        if (now() - lastGoodReply_ > dataTimeoutMs) {
            // Silence: no data until reporting starts again.
            state_ = NoData;
            threadWake_.wait_for(lock, 20ms);
            return;
        }
        state_ = Running;
        replyBusy_ = true;
        lock.unlock();
        const bool good = readTrackingData();
        if (good)
            lastGoodReply_ = now();
        lock.lock();
        replyBusy_ = false;
        threadWake_.notify_all();
    });
}

void Polaris::pollingThread()
{
    whileRunning("polling thread", [this](std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        if (portMutex_.try_lock()) {
            sendCommand("GX:9001", true);
            portMutex_.unlock();
        }
        lock.lock();
        threadWake_.wait_for(lock, 50ms, [this] { return !running_; });
    });
}

std::shared_ptr<Workspace> Polaris::getDefaultWorkspace()
{
    return Vexa::getDefaultWorkspace();
}

std::shared_ptr<Workspace> Polaris::getAccedoWorkspace()
{
    std::istringstream stl(accedoFrustum());
    return workspaceWith(box(-100, -100, 1100, 200, 200, 500), readSTLStream(stl, false),
                         box(-600, -600, 600, 1200, 1200, 1400), Vector3D(0, 0, 1200));
}

const std::string& Polaris::accedoFrustum()
{
    // Two octagons about the axis point (1.0089, 0), corners from +x every 45 degrees; the caps
    // fanned from their centres, each side quad split into four triangles about its centre.
    static const std::string image = [] {
        constexpr double axisX = 1.0089, nearZ = 981.0786, nearR = 200.058, farZ = 1699.1516, farR = 450.237,
                         farCentreZ = 1699.0862;
        std::vector<std::array<Vector3D, 3>> facets;
        auto corner = [&](double r, double z, int i) {
            const double a = (i % 8) * M_PI / 4.0; // the last corner is the first, bit for bit
            return Vector3D(axisX + r * std::cos(a), r * std::sin(a), z);
        };
        const Vector3D nearCentre(axisX, 0, nearZ), farCentre(axisX, 0, farCentreZ);
        for (int i = 0; i < 8; ++i) {
            const Vector3D n0 = corner(nearR, nearZ, i), n1 = corner(nearR, nearZ, i + 1);
            const Vector3D f0 = corner(farR, farZ, i), f1 = corner(farR, farZ, i + 1);
            facets.push_back({nearCentre, n1, n0}); // facing -z
            facets.push_back({farCentre, f0, f1});  // facing +z
            const Vector3D centre = (n0 + n1 + f0 + f1) / 4.0;
            facets.push_back({centre, n0, n1});
            facets.push_back({centre, n1, f1});
            facets.push_back({centre, f1, f0});
            facets.push_back({centre, f0, n0});
        }
        std::string bytes(80, '\0');
        const char header[] = "STLEXP Object01";
        std::memcpy(bytes.data(), header, sizeof header - 1);
        auto putFloat32 = [&](double v) {
            const float f = static_cast<float>(v);
            char raw[4];
            std::memcpy(raw, &f, 4);
            bytes.append(raw, 4);
        };
        const std::uint32_t count = static_cast<std::uint32_t>(facets.size());
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<char>(count >> (8 * i)));
        for (const auto& f : facets) {
            const Vector3D normal = (f[1] - f[0]).cross(f[2] - f[0]).getNormalized();
            for (double v : {normal.x, normal.y, normal.z})
                putFloat32(v);
            for (const auto& p : f)
                for (double v : {p.x, p.y, p.z})
                    putFloat32(v);
            bytes.append(2, '\0');
        }
        return bytes;
    }();
    return image;
}

}
