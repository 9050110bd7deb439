// navigation_headless showing the displays while it replays a procedure.
#include "navigation/NavigationScene.h"

#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

TEST(NavigationHeadlessDisplay, ReplaysWithTheDisplaysAndRejectsABadSize)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X server";
    QTemporaryDir home;
    const QString trajectory = home.filePath("procedure.txt");
    std::ostringstream out;
    NavigationScene::writeProcedure(out);
    std::ofstream(trajectory.toStdString()) << out.str();
    const QString program = MORVANTA_BINARY_DIR "/tools/navigation_headless";
    const struct
    {
        const char* size;
        int exitCode;
    } runs[] = {{"640x480", 0}, {"0x480", 2}, {"640", 2}, {"640x480x2", 2}};
    for (const auto& run : runs) {
        QProcess process;
        process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--data-dir", home.path(), "--planning-file",
                                home.filePath("Plan/P.srl"), "--ticks", "400", "--display", run.size});
        ASSERT_TRUE(process.waitForFinished(120000)) << run.size;
        EXPECT_EQ(run.exitCode, process.exitCode()) << run.size << process.readAllStandardError().toStdString();
    }
    EXPECT_FALSE(QDir(home.filePath("Plan/Log")).entryList({"*.log"}).isEmpty()) << "the treatment log";
}
