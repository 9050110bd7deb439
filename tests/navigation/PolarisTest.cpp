// The Polaris driver against the simulated camera on a pseudo-terminal (sim/polaris_sim.py),
// with Debian's python3-crcmod as the CRC oracle.
#include "NavigationScene.h"
#include "common/TestSupport.h"
#include "PtySimulator.h"

#include "navigation/Polaris.h"
#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"
#include "platform/SerialPort.h"

#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using Vexa::Polaris;
using namespace std::chrono_literals;

namespace {

const QString simulator = MORVANTA_SOURCE_DIR "/tests/navigation/sim/polaris_sim.py";

class Simulator : public PtySimulator
{
public:
    explicit Simulator(QStringList options) : PtySimulator(simulator, std::move(options)) {}
};

std::string startupFailure(const QStringList& options)
{
    Simulator sim(options);
    const std::string what = TestSupport::errorText([&] { Polaris camera(sim.device); });
    Platform::SerialPort again;
    EXPECT_TRUE(again.open(sim.device)) << "the port stays free after: " << what;
    return what;
}

std::string trajectoryFile(const QTemporaryDir& dir)
{
    // Handpiece and locator still, on the wire's 0.01 mm grid.
    std::ostringstream out;
    NavigationScene::writeLine(out, 0, 0, Vexa::Matrix44<double>(Vexa::Vector3D(12.34, -56.78, -1234.5)), true);
    NavigationScene::writeLine(out, 0, 1, NavigationScene::locatorPose(), true);
    const std::string file = dir.filePath("trajectory.txt").toStdString();
    std::ofstream(file) << out.str();
    return file;
}

}

TEST(Polaris, CrcFramingAndParsing)
{
    QProcess oracle;
    oracle.start("/usr/bin/python3", {simulator, "--crc-oracle", "1000", "7"});
    ASSERT_TRUE(oracle.waitForFinished(20000));
    std::istringstream lines(oracle.readAllStandardOutput().toStdString());
    int count = 0;
    for (std::string hex, crc; lines >> hex >> crc; ++count)
        ASSERT_EQ(std::stoi(crc, nullptr, 16), Polaris::crc16(QByteArray::fromHex(hex.c_str()).toStdString())) << hex;
    EXPECT_EQ(1000, count);
    EXPECT_EQ("GX:90015E3B\r", Polaris::frameCommand("GX:9001", true));
    EXPECT_EQ(Polaris::frameCommand("PVWR:A0000", true), Polaris::frameCommand("PVWR A0000", true));
    EXPECT_EQ("TSTOP \r", Polaris::frameCommand("TSTOP ", false));
    EXPECT_TRUE(Polaris::checkReply("OKAYA896\r"));
    std::string code;
    EXPECT_FALSE(Polaris::checkReply("ERROR0D8C03\r", &code));
    EXPECT_EQ("0D", code);
    EXPECT_FALSE(Polaris::checkReply("OKAYA897\r"));
    EXPECT_FALSE(Polaris::checkReply("A896\r"));

    const auto sample = Polaris::parseTransformation("+05000+05000+05000+05000+012345-000123+145000+00123");
    ASSERT_TRUE(sample && sample->isVisible());
    EXPECT_NEAR(123.45, sample->getTransform()[12], 1e-9);
    EXPECT_NEAR(-1.23, sample->getTransform()[13], 1e-9);
    EXPECT_NEAR(1450.0, sample->getTransform()[14], 1e-9);
    EXPECT_NEAR(0.0123, sample->getError(), 1e-12);
    EXPECT_FALSE(Polaris::parseTransformation("MISSING")->isVisible());
    EXPECT_FALSE(Polaris::parseTransformation("+05000+05000+0x000"));
    const std::string head = "MISSING\nMISSING\nMISSING\n00000001\n";
    const auto markers = Polaris::parseTrackingData(
        head + "002+001234-000560+150000-000100+000200+140050" + "ABCD\r", 0);
    ASSERT_TRUE(markers);
    ASSERT_EQ(2u, markers->markers.size());
    EXPECT_NEAR(-5.6, markers->markers[0].y, 1e-9);
    EXPECT_TRUE(Polaris::parseTrackingData(head + "000ABCD\r", 0)->markers.empty());
    for (const std::string& bad : std::vector<std::string>{head + "009+001234ABCD\r", head + "0", std::string("MISSING\n"), head + "+0x\nABCD\r"})
        EXPECT_FALSE(Polaris::parseTrackingData(bad, 3)) << bad;
}

TEST(Polaris, StartUpAndItsFailuresLeaveThePortFree)
{
    for (const auto& [version, name] : {std::pair{"Polaris", "Polaris"}, {"Accedo", "Accedo"}, {"Polaris Accedo", "Accedo"}}) {
        Simulator sim({"--version", version});
        Polaris camera(sim.device);
        EXPECT_EQ(name, camera.getName());
        EXPECT_EQ(1, camera.getState());
        EXPECT_EQ(std::string(name) == "Accedo", camera.getWorkspace() != Polaris::getDefaultWorkspace());
    }
    EXPECT_EQ("Polaris::Polaris : Hardware Reset failed", startupFailure({"--no-reset"}));
    EXPECT_EQ("Polaris::Polaris : Init failed", startupFailure({"--no-answer", "COMM"}));
    EXPECT_EQ("Polaris::Polaris : Low range Volume of Polaris not calibrated", startupFailure({"--no-answer", "VSEL"}));
    EXPECT_EQ("Polaris::Polaris : Init failed", startupFailure({"--sflist", "X"}));
}

TEST(Polaris, ToolsAreUploadedIntoPortsAToI)
{
    Simulator sim({});
    Polaris camera(sim.device);
    std::vector<std::shared_ptr<Vexa::Tracker>> two = {Vexa::Tracker::create(3), Vexa::Tracker::create(4)};
    camera.setTracker(two);
    camera.setTracker(two);
    std::vector<std::shared_ptr<Vexa::Tracker>> ten;
    for (int type = 2; type <= 11; ++type)
        ten.push_back(Vexa::Tracker::create(type));
    camera.setTracker(ten);
    const auto images = sim.log("image ");
    ASSERT_EQ(9u, images.size());
    EXPECT_EQ("A ok 25,25 15,-20 -25,0", images[0]);
    EXPECT_EQ("C ok 25,25 15,-20 -25,0", images[2]);
    EXPECT_EQ("E ok 100,0 169,2 204,-2", images[4]);
    for (const auto& image : images)
        EXPECT_NE(std::string::npos, image.find(" ok ")) << image;
    EXPECT_EQ("ID", sim.log("command PENA ").back()) << "the tenth tracker is ignored";
    camera.startReporting();
    EXPECT_THROW(camera.setTracker(two), std::runtime_error);
    camera.stopReporting();
}

TEST(Polaris, TracksPollsStopsAndStartsAndNoticesSilence)
{
    QTemporaryDir dir;
    Simulator sim({"--trajectory", QString::fromStdString(trajectoryFile(dir)), "--markers", "2"});
    Polaris camera(sim.device);
    auto trackers = std::vector<std::shared_ptr<Vexa::Tracker>>{Vexa::Tracker::create(3), Vexa::Tracker::create(4)};
    camera.setTracker(trackers);
    // Tracking until both tools and the markers arrived, then short runs that stop polls and
    // replies in every phase.
    camera.startReporting();
    EXPECT_TRUE(TestSupport::eventually([&] {
        return trackers[0]->getTrackerData().isVisible() && trackers[1]->getTrackerData().isVisible()
               && camera.getMarkerPositions().size() == 2;
    }, 60s)) << "no tracking data within a minute";
    camera.stopReporting();
    for (int cycle = 1; cycle < 20; ++cycle) {
        camera.startReporting();
        std::this_thread::sleep_for(120ms);
        camera.stopReporting();
    }
    const auto handpiece = trackers[0]->getTrackerData();
    ASSERT_TRUE(handpiece.isVisible());
    const Vexa::Vector3D offset = handpiece.getTransform().getTranslation() - Vexa::Vector3D(12.34, -56.78, -1234.5);
    EXPECT_LE(std::max({std::abs(offset.x), std::abs(offset.y), std::abs(offset.z)}), 0.0101);
    const auto locator = trackers[1]->getTrackerData();
    EXPECT_LE(std::abs(locator.getTransform()[14] - NavigationScene::locatorPose()[14]), 0.0101);
    EXPECT_EQ(2u, camera.getMarkerPositions().size());
    std::vector<double> polls;
    for (const auto& poll : sim.log("poll "))
        polls.push_back(std::stod(poll));
    std::vector<double> gaps;
    for (std::size_t i = 1; i < polls.size() && i < 21; ++i)
        gaps.push_back(polls[i] - polls[i - 1]);
    ASSERT_FALSE(gaps.empty());
    // Polls keep to the 50 ms period however fast the replies come (a loaded machine only
    // lengthens the gaps).
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 45.0);
}

TEST(Polaris, SilenceTurnsTheStateToNoData)
{
    QTemporaryDir dir;
    // Silent from 3 s after tracking starts: time enough to be seen tracking on a loaded machine.
    Simulator sim({"--trajectory", QString::fromStdString(trajectoryFile(dir)), "--silence-after", "3000"});
    Polaris camera(sim.device);
    auto trackers = std::vector<std::shared_ptr<Vexa::Tracker>>{Vexa::Tracker::create(3)};
    camera.setTracker(trackers);
    camera.startReporting();
    EXPECT_TRUE(TestSupport::eventually([&] { return trackers[0]->getTrackerData().isVisible(); }, 60s));
    EXPECT_TRUE(TestSupport::eventually([&] { return camera.getState() == 0; }, 60s)) << "the silence went unnoticed";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(0, camera.getState()) << "no data until reporting starts again";
    camera.stopReporting();
}

TEST(Polaris, MalformedRepliesNeverChangeASample)
{
    QTemporaryDir dir;
    // Twenty malformed replies of every kind before each good one.
    Simulator sim({"--trajectory", QString::fromStdString(trajectoryFile(dir)), "--fault",
                   "crc,error,short,glued,long,poison", "--burst", "20"});
    Polaris camera(sim.device);
    auto trackers = std::vector<std::shared_ptr<Vexa::Tracker>>{Vexa::Tracker::create(3)};
    camera.setTracker(trackers);
    camera.startReporting();
    const auto end = std::chrono::steady_clock::now() + 3500ms;
    int seen = 0;
    while (std::chrono::steady_clock::now() < end) {
        const auto sample = trackers[0]->getTrackerData();
        if (sample.isVisible()) {
            ++seen;
            ASSERT_LT(std::abs(sample.getTransform()[12] - 12.34), 0.02) << "a sample from a malformed reply";
        }
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(1, camera.getState());
    EXPECT_GT(seen, 0);
    camera.stopReporting();
    const auto faults = sim.log("faults ");
    ASSERT_FALSE(faults.empty());
    EXPECT_GE(std::stoi(faults.back()), 1000);
}

TEST(Polaris, AccedoFrustum)
{
    const std::string& stl = Polaris::accedoFrustum();
    ASSERT_EQ(2484u, stl.size());
    EXPECT_EQ(0, stl.compare(0, 15, "STLEXP Object01"));
    std::uint32_t facets;
    std::memcpy(&facets, stl.data() + 80, 4);
    EXPECT_EQ(48u, facets);
    // Debian's admesh: a closed surface, nothing to mend.
    QTemporaryDir dir;
    const QString file = dir.filePath("frustum.stl");
    std::ofstream(file.toStdString(), std::ios::binary) << stl;
    QProcess admesh;
    admesh.start("admesh", {file});
    ASSERT_TRUE(admesh.waitForFinished(20000)) << "admesh (Debian package admesh) is needed";
    const std::string report = admesh.readAllStandardOutput().toStdString();
    for (const char* line : {"Total disconnected facets        :     0                   0", "Edges fixed           :     0",
                             "Facets reversed       :     0", "Backwards edges       :     0", "Normals fixed         :     0"})
        EXPECT_NE(std::string::npos, report.find(line)) << line << "\n" << report;
    // The corners the device's description names.
    std::istringstream in(stl);
    const auto mesh = Vexa::readSTLStream(in, false);
    ASSERT_TRUE(mesh);
    auto hasCorner = [&](double x, double y, double z) {
        for (unsigned i = 0; i < mesh->getVertexCount(); ++i)
            if ((mesh->getVertex(i) - Vexa::Vector3D(x, y, z)).length() < 2e-3)
                return true;
        return false;
    };
    EXPECT_TRUE(hasCorner(201.0669, 0, 981.0786) && hasCorner(142.4712, 141.4623, 981.0786)
                && hasCorner(1.0089, 200.0579, 981.0786));
    EXPECT_TRUE(hasCorner(451.2462, 0, 1699.1516) && hasCorner(319.3747, 318.366, 1699.1516)
                && hasCorner(1.0088, 450.2373, 1699.1516));
    const auto workspace = Polaris::getAccedoWorkspace();
    // Workspace points inside the frustum, outside it, and in the inner box.
    EXPECT_EQ(2, workspace->getPositionQuality(Vexa::Vector3D(0, 0, -1300)));
    EXPECT_EQ(1, workspace->getPositionQuality(Vexa::Vector3D(0, 250, -1600)));
    EXPECT_EQ(0, workspace->getPositionQuality(Vexa::Vector3D(0, 250, -1000)));
    EXPECT_EQ(0, workspace->getPositionQuality(Vexa::Vector3D(0, 0, -900)));
}

// Replies that pass their CRC yet carry a quaternion that is no rotation, or fewer or more tool
// groups than the device announced, among good ones: no such pose is ever shown, a tool of a
// missing group turns invisible, and the good tools keep arriving with the camera running.
TEST(Polaris, WellFramedNonsenseLeavesTheGoodToolsArriving)
{
    struct Case
    {
        const char* groups;
        const char* faults;
        const char* every;
        std::size_t trackers;
    };
    for (const Case& c : {Case{"3", "quaternion0.0001,quaternion0.5,quaternion2,quaternion1.0005,fewergroups", "2", 4},
                          Case{"1", "moregroups", "1", 2}}) {
        SCOPED_TRACE(std::string("announcing ") + c.groups + " groups, faults " + c.faults);
        QTemporaryDir dir;
        std::ostringstream out;
        NavigationScene::writeLine(out, 0, 0, Vexa::Matrix44<double>(Vexa::Vector3D(12.34, -56.78, -1234.5)), true);
        NavigationScene::writeLine(out, 0, 1, NavigationScene::locatorPose(), true);
        NavigationScene::writeLine(out, 0, 3, Vexa::Matrix44<double>(Vexa::Vector3D(-40, 30, -1300)), true);
        const std::string file = dir.filePath("four-tools.txt").toStdString();
        std::ofstream(file) << out.str();
        Simulator sim({"--trajectory", QString::fromStdString(file), "--sflist", c.groups, "--fault", c.faults,
                       "--fault-every", c.every});
        Polaris camera(sim.device);
        std::vector<std::shared_ptr<Vexa::Tracker>> trackers;
        for (std::size_t i = 0; i < c.trackers; ++i)
            trackers.push_back(Vexa::Tracker::create(3 + int(i)));
        camera.setTracker(trackers);
        camera.startReporting();

        int arrivals = 0, fourthHidden = 0, fourthBack = 0;
        bool locatorSeen = false, normalised = false;
        double lastX = 0.0;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        auto faults = [&] { const auto f = sim.log("faults "); return f.empty() ? 0 : std::stoi(f.back()); };
        auto done = [&] {
            return arrivals >= 20 && faults() >= 24 && (c.trackers < 4 || (fourthHidden >= 2 && fourthBack >= 3))
                   && (std::string(c.faults).find("1.0005") == std::string::npos || normalised);
        };
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "waited for 20 good handpiece samples, 24 spoilt replies and the fourth tool hidden and back; got "
                << arrivals << ", " << faults() << ", " << fourthHidden << " and " << fourthBack;
            const auto handpiece = trackers[0]->getTrackerData(), locator = trackers[1]->getTrackerData();
            if (locatorSeen) {
                ASSERT_TRUE(locator.isVisible()) << "the locator was lost";
                ASSERT_EQ(1, camera.getState()) << "the camera fell silent";
            }
            locatorSeen = locatorSeen || locator.isVisible();
            if (handpiece.isVisible()) {
                const double x = handpiece.getTransform()[12];
                if (x > 700.0) {
                    // Only the quaternion of norm 1.0005 is a rotation: normalised, (1, 0, 0, 0).
                    ASSERT_NEAR(801.05, x, 0.011) << "a pose of a quaternion that is no rotation";
                    const Vexa::TrackerData unit(Vexa::Matrix44<double>(handpiece.getTransform().getTranslation()), 0.0, true);
                    ASSERT_TRUE(handpiece.isEqual(unit, 1e-4)) << "not normalised";
                    normalised = true;
                } else {
                    ASSERT_NEAR(12.34, x, 0.011);
                    arrivals += x != lastX;
                    lastX = x;
                }
            }
            if (c.trackers >= 4) {
                const bool fourth = trackers[3]->getTrackerData().isVisible();
                fourthBack += fourth && fourthBack == fourthHidden;
                fourthHidden += !fourth && fourthBack > fourthHidden;
            }
            std::this_thread::sleep_for(2ms);
        }
        camera.stopReporting();
    }
}
