#include "navigation/Velor.h"

#include "navigation/BoxWorkspace.h"
#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "platform/DebugOutput.h"
#include "vexa/core/Clock.h"
#include "vexa/core/ExceptionStack.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace Vexa {

namespace {

using namespace std::chrono_literals;

constexpr std::array<std::string_view, 16> deviceIds = {"MHI", "MAP", "MRS", "MPD", "MSM", "MFE", "MOD", "MTF",
                                                        "MNA", "MXI", "MLD", "MSS", "MVN", "MAI", "MIC", "MER"};
constexpr std::uint32_t positionTimeoutMs = 1000;

void log(const std::string& line)
{
    Platform::outputDebugString("Velor: " + line + "\n");
}

// Payload fields read one at a time from the front, as atoi and atof read them: the leading
// number of the field, 0 when there is none. Never the process locale.
class Fields
{
public:
    explicit Fields(std::string_view text) : rest_(text) {}
    bool empty() const { return rest_.empty(); }
    std::string_view next()
    {
        const std::size_t blank = rest_.find(' ');
        const std::string_view field = rest_.substr(0, blank);
        rest_ = blank == std::string_view::npos ? std::string_view() : rest_.substr(blank + 1);
        return field;
    }
    std::string_view rest() const { return rest_; }
    long long integer() { return number<long long>(next()); }
    std::int16_t int16() { return static_cast<std::int16_t>(static_cast<std::uint16_t>(integer() & 0xFFFF)); }
    double real() { return number<double>(next()); }

private:
    template <typename T>
    static T number(std::string_view field)
    {
        while (!field.empty() && (field.front() == ' ' || field.front() == '\t'))
            field.remove_prefix(1);
        if (!field.empty() && field.front() == '+')
            field.remove_prefix(1);
        T value{};
        if (std::from_chars(field.data(), field.data() + field.size(), value).ec != std::errc())
            return T{};
        return value;
    }
    std::string_view rest_;
};

std::string hexField(unsigned value, int width)
{
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", width, value);
    return text;
}

void logSystemDescription(Fields fields)
{
    std::ostringstream out;
    out << "error code " << fields.integer() << ", cameras " << fields.integer() << ", instruments "
        << fields.integer() << ", groups " << fields.integer() << ", IREDs " << fields.integer() << ", timings "
        << fields.int16() << ", time " << fields.integer();
    const int instruments = fields.int16();
    // The loops end with the payload, whatever the counts claim.
    for (int i = 0; i < instruments && !fields.empty(); ++i) {
        const int groups = fields.int16();
        out << "\ninstrument " << i << ": " << groups << " groups";
        for (int g = 0; g < groups && !fields.empty(); ++g) {
            const int ireds = fields.int16();
            out << "\n  IREDs " << ireds << " pin " << fields.int16();
        }
    }
    log(out.str());
}

}

std::shared_ptr<Workspace> Velor::getDefaultWorkspace()
{
    static const std::shared_ptr<Workspace> workspace =
        BoxWorkspace{{{-100, -100, 1000}, {200, 200, 600}},
                        {{-200, -200, 850}, {400, 400, 900}},
                        {{-350, -350, 700}, {700, 700, 1300}},
                        20.0, 50.0, 80.0, Vector3D(0, 0, 1300),
                        Matrix44<double>(Vector3D(-400, -400, 1100))}.create();
    return workspace;
}

std::shared_ptr<Velor> Velor::create(const std::string& port)
{
    return std::make_shared<Velor>(port);
}

Velor::Velor(const std::string& port) try : NavigationCamera(getDefaultWorkspace())
{
    connect(port);
}
VEXA_RETHROW

Velor::~Velor()
{
    send("CMH", "");
    running_ = false;
    port_.cancel();
    if (reader_.joinable())
        reader_.join();
    if (port_.isOpen()) {
        port_.close();
        log("closed " + portName_);
    }
}

std::string Velor::buildFrame(std::string_view id, std::string_view payload)
{
    if (payload.size() + 12 > maxFrame) {
        log("Command string to send is too long");
        return {};
    }
    std::string frame;
    frame.reserve(payload.size() + 12);
    frame += '\x02';
    frame += id;
    frame += hexField(static_cast<unsigned>(payload.size() + 12), 4);
    frame += payload;
    unsigned sum = 0;
    for (unsigned char c : frame)
        sum ^= c;
    frame += hexField(sum, 2);
    frame += '\x03';
    frame += '\0';
    return frame;
}

bool Velor::send(std::string_view id, std::string_view payload)
{
    const std::string frame = buildFrame(id, payload);
    if (frame.empty())
        return false;
    if (port_.write(frame, 1000) != static_cast<int>(frame.size())) {
        log("Write Failure!");
        return false;
    }
    return true;
}

void Velor::connect(const std::string& port)
{
    if (!port_.open(port))
        throw std::runtime_error("Got no access to comport");
    log("try on " + port);
    auto fail = [this](const char* text) {
        port_.close();
        throw std::runtime_error(text);
    };
    if (!port_.configure(115200))
        fail("Error setting comm state");
    // Wake the device: "CMH" every 2 ms for up to 3 s until something answers. Only a
    // well-formed device frame among the answers counts: a line that echoes is no Velor.
    bool answered = false;
    auto collect = [&](const std::string& bytes) {
        VelorFrameExtractor check;
        check.append(bytes.data(), bytes.size(), [&](std::string_view, std::string_view) { answered = true; });
    };
    std::string reply;
    port_.purge();
    for (int waited = 0; waited < 3000 && reply.empty(); waited += 2) {
        if (!send("CMH", ""))
            fail("Error sending initialisation message");
        reply = port_.readSome(maxFrame, 2, 2);
    }
    reply += port_.readSome(maxFrame, 20, 10);
    collect(reply);
    if (!send("CSI", ""))
        fail("Error sending initialisation message");
    // The reply to "CSI": up to 1.5 s for the first byte, bounded by the 2048-byte buffer.
    reply = port_.readSome(maxFrame, 1500, 50);
    if (reply.empty())
        fail("Error no bytes read or not all bytes read");
    collect(reply);
    if (!answered)
        fail("Error no bytes read or not all bytes read");
    portName_ = port;
    log("successfully connected to velor system on " + port);
    lastPosition_ = timeGetTime();
    running_ = true;
    reader_ = std::thread(&Velor::readerThread, this);
}

Velor::EState Velor::getState()
{
    return timeGetTime() - lastPosition_.load() <= positionTimeoutMs ? Running : NoData;
}

void Velor::readerThread()
{
    log("Thread started");
    const auto sink = [this](std::string_view id, std::string_view payload) { handleFrame(id, payload); };
    while (running_) {
        const std::string bytes = port_.readSome(512, 200, 5);
        if (bytes.empty())
            std::this_thread::sleep_for(10ms);
        else
            extractor_.append(bytes.data(), bytes.size(), sink);
    }
    log("Thread finished");
}

void Velor::handleFrame(std::string_view id, std::string_view payload)
{
    try {
        const Message message = interpret(id, payload);
        if (message.position)
            lastPosition_ = timeGetTime();
        if (message.tool < 0)
            return;
        std::shared_ptr<Tracker> tracker;
        {
            std::lock_guard lock(trackersMutex_);
            if (static_cast<std::size_t>(message.tool) < trackers_.size())
                tracker = trackers_[static_cast<std::size_t>(message.tool)];
        }
        if (tracker)
            tracker->setTrackerData(message.sample);
        else
            log("position of tool " + std::to_string(message.tool) + " without a tracker dropped");
    } catch (const std::exception& e) {
        log(std::string("frame dropped: ") + e.what());
    }
}

Velor::Message Velor::interpret(std::string_view id, std::string_view payload)
{
    Message message;
    std::size_t index = 0;
    while (index < deviceIds.size() && deviceIds[index] != id)
        ++index;
    if (index == deviceIds.size()) {
        log("unknown message id " + std::string(id) + " dropped");
        message.known = false;
        return message;
    }
    Fields fields(payload);
    switch (index) {
    case 0: { // MHI
        const long long error = fields.integer();
        const int version = fields.int16();
        const std::string_view rest = fields.rest();
        const std::size_t first = rest.find('"'), last = rest.rfind('"');
        const std::string banner =
            first != std::string_view::npos && last > first ? std::string(rest.substr(first + 1, last - first - 1)) : "";
        log("\nreceived message MHI\nerror code " + std::to_string(error) + "\nprotocol version "
            + std::to_string(version) + "\n" + banner);
        break;
    }
    case 1:
        log("\nreceived message MAP");
        logSystemDescription(fields);
        break;
    case 2:
        log("\nreceived message MRS\nerror code " + std::to_string(fields.integer()));
        break;
    case 3: { // MPD
        message.position = true;
        const std::int16_t error = fields.int16();
        fields.integer();
        const int tool = fields.int16();
        const int type = fields.int16();
        if (error != 0) {
            message.tool = tool;
            message.sample = TrackerData(Vector3D(), Vector3D(), -1.0, false);
        } else if (type == 0) {
            const double x = fields.real(), y = fields.real(), z = fields.real();
            for (int i = 0; i < 3; ++i)
                fields.int16();
            constexpr double radians = 0.017453292519943295;
            const double a = fields.real(), b = fields.real(), c = fields.real();
            message.tool = tool;
            // A number that is not finite makes no pose: the tool is hidden.
            const bool finite = std::isfinite(x + y + z + a + b + c);
            message.sample = finite ? TrackerData(Vector3D(a * radians, b * radians, c * radians), Vector3D(x, y, z), -1.0, true)
                                    : TrackerData(Vector3D(), Vector3D(), -1.0, false);
        } else if (type == 1) {
            log("LOS not implemented yet");
        } else if (type == 2) {
            log("DETECTCODE not implemented yet");
        } else if (type == 3) {
            log("COOR not implemented yet");
        }
        break;
    }
    case 6:
        log("\nreceived message MOD");
        break;
    case 8:
        log("\nreceived message MNA");
        break;
    default: // read and not used
        break;
    }
    return message;
}

std::string Velor::toolDefinitions(const std::vector<std::shared_ptr<Tracker>>& trackers)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    const std::size_t n = trackers.size();
    out << "0 " << n << ' ';
    for (const auto& tracker : trackers) {
        const unsigned m = tracker->getNumberOfPoints();
        out << "0 0 " << m << ' ' << "1 " << m << ' ' << (tracker->getFlag() ? "3 " : "15 ");
        for (auto [it, end] = tracker->getPoints(); it != end; ++it)
            out << it->x << ' ' << it->y << ' ' << it->z << ' ';
    }
    out << n << ' ';
    for (std::size_t i = 0; i < n; ++i)
        out << i;
    out << ' ';
    return out.str();
}

void Velor::setTracker(std::vector<std::shared_ptr<Tracker>>& trackers)
{
    {
        std::lock_guard lock(trackersMutex_);
        trackers_ = trackers;
    }
    send("CPM", toolDefinitions(trackers));
}

void Velor::startReporting()
{
    send("CRR", "");
}

void Velor::stopReporting()
{
    send("CMH", "");
}

}
