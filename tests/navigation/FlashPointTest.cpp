// The FlashPoint driver: record parsing (also under a German locale), pose matching, and the
// simulated tracker on a pseudo-terminal (sim/flashpoint_sim.py).
#include "NavigationScene.h"
#include "common/TestSupport.h"
#include "PtySimulator.h"

#include "navigation/FlashPoint.h"
#include "navigation/Tracker.h"
#include "platform/SerialPort.h"

#include <clocale>
#include <gtest/gtest.h>
#include <thread>

using Vexa::FlashPoint;
using Vexa::Matrix44;
using Vexa::Vector3D;
using namespace std::chrono_literals;

namespace {

const QString simulator = MORVANTA_SOURCE_DIR "/tests/navigation/sim/flashpoint_sim.py";
const std::vector<Vector3D> model = {{0, 0, 0}, {50, 0, 0}, {10, 30, 0}};

double largestDifference(const Matrix44<double>& a, const Matrix44<double>& b)
{
    double most = 0;
    for (int i = 0; i < 16; ++i)
        most = std::max(most, std::abs(a[i] - b[i]));
    return most;
}

}

TEST(FlashPoint, ParsesRecordsInAnyLocale)
{
    struct Case
    {
        const char* record;
        bool valid;
        Vector3D position;
    };
    const Case cases[] = {
        {"E5      12.50      -3.25    1400.00 1000\r\n", true, {12.5, -3.25, 1400.0}},
        {"E5      12.50      -3.25    1400.00 1001\r\n", false, {12.5, -3.25, 1400.0}},
        {"E5      abc      -3.25    1400.00 1000\r\n", false, {}},
        {"E5 1 2", false, {}},
        {"X5 1 2 3 1000", false, {}},
    };
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "de_DE.UTF-8"}) {
        ASSERT_TRUE(std::setlocale(LC_ALL, locale)) << locale << " (made by scripts/install-deps)";
        for (const auto& c : cases) {
            const auto [valid, position] = FlashPoint::parseRecord(c.record);
            EXPECT_EQ(c.valid, valid) << locale << " " << c.record;
            EXPECT_EQ(c.position, position) << locale << " " << c.record;
        }
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(FlashPoint, MatchesModelPointsToRecords)
{
    auto tracker = std::make_shared<Vexa::Tracker>(model, false, std::vector<int>{5, 6, 7}, 3);
    const std::vector<std::shared_ptr<Vexa::Tracker>> trackers{tracker};
    auto record = [](int id, const Vector3D& p) {
        char text[80];
        std::snprintf(text, sizeof text, "E%d %10.2f %10.2f %10.2f %4x\r\n", id, p.x, p.y, p.z, 0x1000);
        return std::string(text);
    };
    // Measured exactly at the model points: the identity, visible; marker 51 is no marker 5.
    std::string response = record(51, {9, 9, 9}) + record(5, model[0]) + record(6, model[1]) + record(7, model[2]);
    auto sample = FlashPoint::samplesFromResponse(response, trackers).at(0);
    EXPECT_TRUE(sample.isVisible());
    EXPECT_LT(largestDifference(Matrix44<double>(), sample.getTransform()), 1e-9);
    // A rigid move of the model is found again.
    const Matrix44<double> pose(Vector3D(0.3, -0.2, 1.1), Vector3D(12.34, -56.78, -1234.5));
    response = record(5, pose * model[0]) + record(6, pose * model[1]) + record(7, pose * model[2]);
    EXPECT_LT(largestDifference(pose, FlashPoint::samplesFromResponse(response, trackers)[0].getTransform()), 0.01);
    // A missing record, and markers on one line: invisible.
    for (const std::string& bad : {record(5, model[0]) + record(7, model[2]),
                                   record(5, {0, 0, 0}) + record(6, {10, 0, 0}) + record(7, {20, 0, 0}),
                                   record(5, {1, 1, 1}) + record(6, {1, 1, 1}) + record(7, {1, 1, 1})}) {
        sample = FlashPoint::samplesFromResponse(bad, trackers).at(0);
        EXPECT_FALSE(sample.isVisible()) << bad;
        EXPECT_EQ(-1.0, sample.getError()) << bad;
    }
}

TEST(FlashPoint, WrongGreetingFreesThePort)
{
    PtySimulator sim(simulator, {"--greeting", "Okay: Interactive responses will be displayed."});
    EXPECT_EQ("Error initializing FlashPoint", TestSupport::errorText([&] { FlashPoint camera(sim.device); }));
    Platform::SerialPort again;
    EXPECT_TRUE(again.open(sim.device));
}

TEST(FlashPoint, TracksAndNoticesSilence)
{
    const Matrix44<double> pose(Vector3D(0.1, 0.2, -0.3), Vector3D(12.34, -56.78, -1234.5));
    QTemporaryDir dir;
    const std::string trajectory = dir.filePath("trajectory.txt").toStdString();
    {
        std::ofstream out(trajectory);
        NavigationScene::writeLine(out, 0, 0, pose, true);
    }
    QStringList options{"--trajectory", QString::fromStdString(trajectory), "--tool-markers", "5,6,7",
                        "--silence-after", "5000"};
    for (int i = 0; i < 3; ++i)
        options << "--model" << QString::number(5 + i) << QString::number(model[i].x) << QString::number(model[i].y)
                << QString::number(model[i].z);
    PtySimulator sim(simulator, options);
    FlashPoint camera(sim.device);
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers{
        std::make_shared<Vexa::Tracker>(model, false, std::vector<int>{5, 6, 7}, 3)};
    camera.setTracker(trackers);
    EXPECT_EQ((std::vector<std::string>{"5 ok", "6 ok", "7 ok"}), sim.log("template "));
    camera.startReporting();
    ASSERT_TRUE(TestSupport::eventually([&] { return trackers[0]->getTrackerData().isVisible(); }, 60s));
    EXPECT_EQ(Vexa::NavigationCamera::Running, camera.getState());
    EXPECT_LT(largestDifference(pose, trackers[0]->getTrackerData().getTransform()), 0.01);
    // The state asked for more than a second after the last burst says so, however late the asking.
    ASSERT_EQ(1u, sim.log("silence at ").size());
    const std::chrono::steady_clock::time_point silence(
        std::chrono::microseconds(std::llround(std::stod(sim.log("silence at ")[0]) * 1e6)));
    std::this_thread::sleep_until(silence + 1100ms);
    EXPECT_EQ(Vexa::NavigationCamera::NoData, camera.getState());
    camera.stopReporting();
    EXPECT_TRUE(sim.log("foreign ").empty());
}
