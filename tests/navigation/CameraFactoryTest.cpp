// The camera search over the simulated serial cameras: each driver that does not find its
// device frees the port for the next.
#include "PtySimulator.h"

#include "navigation/CameraSearchJob.h"
#include "navigation/NavigationCamera.h"

#include <chrono>
#include <gtest/gtest.h>

TEST(CameraFactory, FindsTheCameraOnThePort)
{
    const QString sim = MORVANTA_SOURCE_DIR "/tests/navigation/sim/";
    struct Case
    {
        QString script;
        QStringList options;
        std::string name; // empty: no camera
    };
    const Case cases[] = {
        {sim + "velor_sim.py", {}, "Velor"},
        {sim + "flashpoint_sim.py", {}, "FlashPoint"},
        {sim + "velor_sim.py", {"--silent"}, ""},
    };
    for (const auto& c : cases) {
        PtySimulator device(c.script, c.options);
        const auto start = std::chrono::steady_clock::now();
        Vexa::CameraSearchJob search(device.device);
        EXPECT_EQ(!c.name.empty(), search.start());
        const auto camera = search.getCamera();
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(1.0, search.getProgressState());
        EXPECT_EQ(c.name, camera ? camera->getName() : "") << c.script.toStdString();
        EXPECT_LT(seconds, 8.0) << c.script.toStdString();
        std::printf("camera factory: %s in %.2f s\n", c.name.empty() ? "nothing" : c.name.c_str(), seconds);
    }
}
