// The marker template handed to the MicronTracker server on a real full file system: whole, or
// the failure is told and the server is handed nothing.
#include "SimulatedMicronTracker.h"

#include "common/SmallDisk.h"
#include "navigation/MicronTrackerCamera.h"
#include "navigation/Tracker.h"

#include <gtest/gtest.h>

TEST(NavigationFullDisk, AMarkerTemplateReachesTheServerWholeOrTheFailureIsTold)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    // The template goes through the temporary folder.
    setenv("TMPDIR", SmallDisk::path().c_str(), 1);
    std::string whole;
    for (long long free : {-1ll, 0ll, 4096ll}) {
        SCOPED_TRACE(free < 0 ? std::string("room enough") : std::to_string(free) + " bytes free");
        SmallDisk::clear();
        if (free >= 0)
            SmallDisk::leaveFree(static_cast<unsigned long long>(free));
        SimulatedMicronTracker server;
        auto camera = Vexa::MicronTrackerCamera::getConnectedMicronTracker();
        ASSERT_TRUE(camera);
        std::vector<std::shared_ptr<Vexa::Tracker>> trackers{Vexa::Tracker::create(3)};
        testing::internal::CaptureStderr();
        camera->setTracker(trackers);
        const std::string errors = testing::internal::GetCapturedStderr();
        if (free < 0) {
            ASSERT_EQ(server.script->templates.size(), 1u) << errors;
            whole = server.script->templates[0];
            continue;
        }
        if (server.script->templates.empty())
            EXPECT_NE(errors.find("The disk is full"), std::string::npos) << "told: " << errors;
        else
            EXPECT_EQ(server.script->templates, std::vector<std::string>{whole}) << "the server learns the whole marker";
    }
    unsetenv("TMPDIR");
}
