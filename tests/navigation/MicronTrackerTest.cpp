// The MicronTracker driver against a simulated server in the COM stand-in.
#include "PtySimulator.h"
#include "SimulatedMicronTracker.h"

#include "navigation/MicronTrackerCamera.h"
#include "navigation/TrackerData.h"

#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>

using Vexa::MicronTrackerCamera;
using Vexa::Matrix44;
using Vexa::Vector3D;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<MicronTrackerCamera> connectCapturingErrors(std::string& errors)
{
    testing::internal::CaptureStderr();
    auto camera = MicronTrackerCamera::getConnectedMicronTracker();
    errors = testing::internal::GetCapturedStderr();
    return camera;
}

template <class Predicate>
bool waitFor(Predicate predicate)
{
    for (int i = 0; i < 100 && !predicate(); ++i)
        std::this_thread::sleep_for(20ms);
    return predicate();
}

}

TEST(MicronTracker, NoCameraWithoutAServer)
{
    std::string errors;
    {
        EXPECT_FALSE(connectCapturingErrors(errors));
        EXPECT_EQ("Microntracker::getConnectedMicronTracker() - COM Error: Class not registered\n", errors);
    }
    struct Case
    {
        const char* what;
        std::function<void(SimulatedMicronTracker::Script&)> set;
        bool errorLine;
    };
    const Case cases[] = {
        {"no interface", [](auto& s) { s.noInterface = true; }, false},
        {"no camera", [](auto& s) { s.cameras = 0; }, false},
        {"attach fails", [](auto& s) { s.failAt = "attach"; }, true},
        {"marker processing fails", [](auto& s) { s.failAt = "setOption19"; }, true},
    };
    for (const auto& c : cases) {
        SimulatedMicronTracker server;
        c.set(*server.script);
        EXPECT_FALSE(connectCapturingErrors(errors)) << c.what;
        EXPECT_EQ(c.errorLine, errors.find("COM Error: Unspecified error") != std::string::npos) << c.what << errors;
    }
}

TEST(MicronTracker, TemplatesPosesAndCameras)
{
    SimulatedMicronTracker server;
    server.script->cameras = 2;
    auto camera = MicronTrackerCamera::getConnectedMicronTracker();
    ASSERT_TRUE(camera);
    camera->selectCamera(5);
    EXPECT_EQ(std::vector<int>{0}, server.script->items) << "selectCamera(5) with two cameras changes nothing";
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers{Vexa::Tracker::create(3), std::make_shared<Vexa::Tracker>(std::vector<Vector3D>{}, false, 1),
                                                         Vexa::Tracker::create(4)};
    testing::internal::CaptureStderr();
    camera->setTracker(trackers);
    EXPECT_EQ("MicronTrackerCamera::setTracker: Tracker not supported!\n", testing::internal::GetCapturedStderr());
    ASSERT_EQ(2u, server.script->templates.size());
    EXPECT_EQ("[Marker]\r\nFacetsCount=1\r\nName=Tracker1\r\nJitterFilteringFraction=0,5\r\n[Facet1]\r\n"
              "VectorsCount=2\r\n[Facet1V1]\r\nEndPos(0,0)=-27,7539281494193\r\nEndPos(0,1)=-1,63971400560023E-15\r\n"
              "EndPos(0,2)=-3,93531361344056E-15\r\nEndPos(1,0)=27,7539281494193\r\nEndPos(1,1)=-7,105427357601E-16\r\n"
              "EndPos(1,2)=-1,31177120448019E-15\r\n[Facet1V2]\r\nEndPos(0,0)=27,7539281494193\r\n"
              "EndPos(0,1)=-7,105427357601E-16\r\nEndPos(0,2)=-1,31177120448019E-15\r\nEndPos(1,0)=1,47999591667864\r\n"
              "EndPos(1,1)=35,7165475770258\r\nEndPos(1,2)=4,37257068160062E-16",
              server.script->templates[0]);
    EXPECT_NE(std::string::npos, server.script->templates[1].find("\r\nName=Tracker2\r\n"));
    for (const auto& path : server.script->paths) {
        EXPECT_EQ("TrackerDesc", std::filesystem::path(path).filename());
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(path).parent_path())) << path;
    }
    // The handpiece's marker at the camera's origin; the locator's not identified.
    server.script->poses["Tracker1"] = Matrix44<double>();
    camera->startReporting();
    ASSERT_TRUE(waitFor([&] { return trackers[0]->getTrackerData().isVisible(); }));
    const Vector3D t = trackers[0]->getTrackerData().getTransform().getTranslation();
    EXPECT_NEAR(312.5 / std::sqrt(3125.0), t.x, 1e-9);
    EXPECT_NEAR(625 / std::sqrt(3125.0), t.y, 1e-9);
    EXPECT_NEAR(0, t.z, 1e-9);
    for (int i : {1, 2}) {
        const auto sample = trackers[i]->getTrackerData();
        EXPECT_FALSE(sample.isVisible());
        EXPECT_EQ(-1.0, sample.getError());
        for (int e = 0; e < 16; ++e)
            EXPECT_EQ(Matrix44<double>()[e], sample.getTransform()[e]);
    }
    // Stopped and started again, the camera delivers again.
    camera->stopReporting();
    {
        std::lock_guard lock(server.script->mutex);
        server.script->poses["Tracker1"] = Matrix44<double>(Vector3D(0, 0, 500));
    }
    camera->startReporting();
    EXPECT_TRUE(waitFor([&] { return trackers[0]->getTrackerData().getTransform()[14] > 499; }));
    // A server error in the reader: state 0 and no more polls, until started again.
    {
        std::lock_guard lock(server.script->mutex);
        server.script->failAt = "grabFrame";
    }
    EXPECT_TRUE(waitFor([&] { return camera->getState() == Vexa::NavigationCamera::NoData; }));
    const int grabs = server.script->grabs;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(grabs, server.script->grabs);
}

TEST(MicronTracker, WinsTheFactoryWithoutTouchingThePort)
{
    PtySimulator device(MORVANTA_SOURCE_DIR "/tests/navigation/sim/velor_sim.py", {});
    auto settings = [&] {
        termios t{};
        const int fd = ::open(device.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(0, ::tcgetattr(fd, &t));
        ::close(fd);
        return std::vector<unsigned>{t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, static_cast<unsigned>(cfgetispeed(&t))};
    };
    const auto before = settings();
    SimulatedMicronTracker server;
    const auto camera = Vexa::NavigationCamera::getConnectedCamera(device.device);
    ASSERT_TRUE(camera);
    EXPECT_EQ("MicronTrackerCamera v1.3", camera->getName());
    EXPECT_EQ(before, settings());
    EXPECT_TRUE(device.log("message").empty());
}
