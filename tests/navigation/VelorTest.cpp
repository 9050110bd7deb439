// The Velor driver: frames both ways, the device messages, the tool definitions, and the
// simulated system on a pseudo-terminal (sim/velor_sim.py).
#include "PtySimulator.h"
#include "common/TestSupport.h"

#include "navigation/Tracker.h"
#include "navigation/Velor.h"
#include "platform/SerialPort.h"

#include <gtest/gtest.h>
#include <numbers>
#include <thread>

using Vexa::Velor;
using Vexa::Vector3D;
using namespace std::chrono_literals;

namespace {

const QString simulator = MORVANTA_SOURCE_DIR "/tests/navigation/sim/velor_sim.py";

// A device frame as the device writes it: the host's frame with an 'M' id.
std::string deviceFrame(const std::string& id, const std::string& payload)
{
    return Velor::buildFrame(id, payload);
}

}

TEST(Velor, BuildsHostFrames)
{
    EXPECT_EQ(std::string("\x02" "CRR000C32\x03", 11) + '\0', Velor::buildFrame("CRR", ""));
    EXPECT_EQ(2048u, Velor::buildFrame("CPM", std::string(2036, 'x')).size());
    EXPECT_TRUE(Velor::buildFrame("CPM", std::string(2037, 'x')).empty());
}

TEST(Velor, TakesFramesFromScriptedStreams)
{
    const std::string good = deviceFrame("MRS", "0"), other = deviceFrame("MPD", "0 1 0 0 1 2 3 0 0 0 4 5 6 0 0 0 0 0");
    // "000d" for "000D", with the checksum over the lower-case byte.
    const std::string lower = std::string("\x02" "MRS000d02A\x03") + '\0';
    std::string badTrailer = good;
    badTrailer.back() = 'x';
    struct Case
    {
        const char* what;
        std::vector<std::string> reads;
        std::vector<std::string> ids;
    };
    const Case cases[] = {
        {"whole", {good + other}, {"MRS", "MPD"}},
        {"split before the NUL", {good.substr(0, good.size() - 1), good.substr(good.size() - 1)}, {"MRS"}},
        {"split at every byte", {good.substr(0, 3), good.substr(3, 7), good.substr(10)}, {"MRS"}},
        {"garbage with STX and ETX", {"\x03zz\x02q\x02", good}, {"MRS"}},
        {"lower-case length", {lower}, {"MRS"}},
        {"bad trailer", {badTrailer + other}, {"MPD"}},
        {"bad checksum", {good.substr(0, 10) + "F" + good.substr(11), other}, {"MPD"}},
        {"host frame", {Velor::buildFrame("CRR", "")}, {}},
    };
    for (const auto& c : cases) {
        Vexa::VelorFrameExtractor extractor;
        std::vector<std::string> ids;
        for (const auto& read : c.reads)
            extractor.append(read.data(), read.size(),
                             [&](std::string_view id, std::string_view) { ids.emplace_back(id); });
        EXPECT_EQ(c.ids, ids) << c.what;
    }
}

TEST(Velor, InterpretsDeviceMessages)
{
    auto position = Velor::interpret("MPD", "0 1 2 0 10.5 -20 1300 0 0 0 90 0 0 0 0 0 0 0");
    EXPECT_EQ(2, position.tool);
    EXPECT_TRUE(position.sample.isVisible());
    const Vexa::TrackerData expected(Vector3D(std::numbers::pi / 2, 0, 0), Vector3D(10.5, -20, 1300), -1.0, true);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(expected.getTransform()[i], position.sample.getTransform()[i], 1e-12);
    EXPECT_EQ(-1.0, position.sample.getError());
    // Only 16 bits of the error code count; any other error hides the tool whatever its type.
    EXPECT_TRUE(Velor::interpret("MPD", "65536 1 2 0 1 2 3 0 0 0 0 0 0").sample.isVisible());
    for (const char* payload : {"5 1 3 0 1 2 3", "5 1 3 7"}) {
        position = Velor::interpret("MPD", payload);
        EXPECT_EQ(3, position.tool);
        EXPECT_FALSE(position.sample.isVisible());
    }
    EXPECT_EQ(-1, Velor::interpret("MPD", "0 1 2 1").tool) << "type 1 is not supported";
    EXPECT_FALSE(Velor::interpret("MPD", "0 1 2 0 nan 2 3 0 0 0 0 0 inf").sample.isVisible());
    EXPECT_FALSE(Velor::interpret("MZZ", "").known);
    EXPECT_TRUE(Velor::interpret("MHI", "0 3 no banner").known);
    EXPECT_TRUE(Velor::interpret("MAP", "0 1 2 3 4 5 6 30000 1 1").known) << "the counts outrun the payload";
}

TEST(Velor, DefinesTools)
{
    const std::vector<Vector3D> points = {{0, 0, 0}, {25.0, 12.3456789, -1}, {1e-7, 3, 4}};
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers{std::make_shared<Vexa::Tracker>(points, true, 3),
                                                         std::make_shared<Vexa::Tracker>(points, false, 4)};
    const std::string xyz = "0 0 0 25 12.3457 -1 1e-07 3 4 ";
    EXPECT_EQ("0 2 0 0 3 1 3 3 " + xyz + "0 0 3 1 3 15 " + xyz + "2 01 ", Velor::toolDefinitions(trackers));
}

TEST(Velor, ConnectsTracksAndSurvivesBadFrames)
{
    QTemporaryDir dir;
    const std::string trajectory = dir.filePath("trajectory.txt").toStdString();
    std::ofstream(trajectory) << "0 0 1 90 0 0 12.34 -56.78 -1234.5\n0 1 1 0 0 0 1 2 3\n";
    PtySimulator sim(simulator, {"--trajectory", QString::fromStdString(trajectory), "--fault",
                                 "split,garbage,lower,trailer,unknown,index", "--fault-every", "3"});
    Velor camera(sim.device);
    EXPECT_EQ(Vexa::NavigationCamera::Running, camera.getState()) << "the first second counts as running";
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(Vexa::NavigationCamera::NoData, camera.getState());
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers{Vexa::Tracker::create(3), Vexa::Tracker::create(4)};
    camera.setTracker(trackers);
    camera.startReporting();
    // Tracking through at least six bad frames.
    EXPECT_TRUE(TestSupport::eventually([&] {
        return camera.getState() == Vexa::NavigationCamera::Running && trackers[0]->getTrackerData().isVisible()
               && sim.log("fault ").size() >= 6;
    }, 60s)) << "not six bad frames and tracking within a minute";
    const Vexa::TrackerData expected(Vector3D(std::numbers::pi / 2, 0, 0), Vector3D(12.34, -56.78, -1234.5), -1, true);
    ASSERT_TRUE(trackers[0]->getTrackerData().isVisible());
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(expected.getTransform()[i], trackers[0]->getTrackerData().getTransform()[i], 1e-3);
    EXPECT_EQ(1u, sim.log("message CPM").size());
    EXPECT_TRUE(sim.log("foreign").empty());
}

TEST(Velor, RefusesAnEchoingLine)
{
    PtySimulator sim(simulator, {"--echo"});
    EXPECT_THROW(Velor camera(sim.device), std::runtime_error);
    Platform::SerialPort again;
    EXPECT_TRUE(again.open(sim.device));
}
