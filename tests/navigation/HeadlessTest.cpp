// navigation_headless on a replayed procedure: its printed ticks, a bad trajectory file, and
// a journal that survives SIGKILL.
#include "NavigationScene.h"
#include "common/TestSupport.h"

#include "navigation/NavigationCamera.h"
#include "navigation/Trajectory.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

TEST(Trajectory, BadLinesNameFileAndLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0 0 1 1 0 0 0 1 2 3\n", "t.txt:1: expected 11 fields"},
        {"# c\n\n0 0 2 1 0 0 0 1 2 3 0\n", "t.txt:3: bad visible flag"},
        {"0 0 1 1 0 0 0 1,5 2 3 0\n", "t.txt:1: bad number '1,5'"},
        {"0 99 1 1 0 0 0 1 2 3 0\n", "t.txt:1: bad tool"},
        {"50 0 1 1 0 0 0 1 2 3 0\n40 0 1 1 0 0 0 1 2 3 0\n", "t.txt:2: time goes back"},
    };
    for (const auto& [text, message] : cases) {
        std::istringstream in(text);
        const std::string error = TestSupport::errorText([&] { Vexa::Trajectory::read(in, "t.txt"); });
        EXPECT_NE(std::string::npos, error.find(message)) << text << ": " << error;
    }
}

TEST(Trajectory, TheCameraFactoryReplaysTheFileNamedByMorvantaReplay)
{
    QTemporaryDir home;
    const std::string file = home.filePath("t.txt").toStdString();
    std::ofstream(file) << "# one sample\n0 1 1 1 0 0 0 1 2 3 0.1\n";
    setenv("MORVANTA_REPLAY", file.c_str(), 1);
    const auto camera = Vexa::NavigationCamera::getConnectedCamera(home.filePath("no-port").toStdString());
    ASSERT_TRUE(camera);
    EXPECT_EQ("Replay", camera->getName());
    std::ofstream(file) << "0 1 1\n";
    EXPECT_FALSE(Vexa::NavigationCamera::getConnectedCamera(home.filePath("no-port").toStdString()));
    unsetenv("MORVANTA_REPLAY");
}

TEST(NavigationHeadless, ReplaysAProcedureAndItsJournalSurvivesAKill)
{
    QTemporaryDir home;
    const QString trajectory = home.filePath("procedure.txt");
    std::ofstream(trajectory.toStdString()) << [] {
        std::ostringstream out;
        NavigationScene::writeProcedure(out);
        return out.str();
    }();
    const QString program = MORVANTA_BINARY_DIR "/tools/navigation_headless";
    QProcess process;
    process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--jaw", "2", "--data-dir", home.path(),
                            "--planning-file", home.filePath("Plan/P.srl"), "--ticks", "100000000", "--print"});
    ASSERT_TRUE(process.waitForStarted());
    // Kill it once the drill was registered (the controller left state 2).
    std::vector<std::string> lines;
    bool registered = false;
    while (!registered && process.waitForReadyRead(10000)) {
        while (process.canReadLine()) {
            lines.push_back(process.readLine().trimmed().toStdString());
            if (lines.size() > 2 && lines.back().find(" 2 ") == std::string::npos
                && lines[lines.size() - 2].find(" 1 2 ") != std::string::npos)
                registered = true;
        }
    }
    process.kill();
    process.waitForFinished();
    ASSERT_TRUE(registered) << lines.size() << " lines";
    EXPECT_EQ("camera Replay", lines[0]);
    // "tick cameraState controllerState v0 x0 y0 z0 v1 x1 y1 z1": the locator where it was put.
    std::istringstream first(lines[1]);
    int tick = 0, camera = 0, state = 0, v0 = 0, v1 = 0;
    double x0, y0, z0, x1, y1, z1;
    first >> tick >> camera >> state >> v0 >> x0 >> y0 >> z0 >> v1 >> x1 >> y1 >> z1;
    EXPECT_EQ(1, tick);
    EXPECT_EQ(1, camera);
    EXPECT_EQ(1, v1);
    EXPECT_NEAR(NavigationScene::locatorPose()[14], z1, 0.1);

    const QStringList journals = QDir(home.filePath("Plan/Log")).entryList({"*.journal"});
    ASSERT_EQ(1, journals.size());
    const std::string journal = TestSupport::readFile(home.filePath("Plan/Log/" + journals[0]).toStdString());
    for (const char* entry : {"ACTION: START TREATMENT\n", "ACTION: NO CALIBRATION VALUES UK FOUND\n",
                              "ACTION: CALIBRATION UK STARTED\n", "ACTION: CALIBRATION UK BC: u=",
                              "ACTION: REGISTERED 27.6"})
        EXPECT_NE(std::string::npos, journal.find(entry)) << entry << "\n" << journal;
    EXPECT_TRUE(QDir(home.filePath("Plan/Log")).entryList({"*.log"}).isEmpty());

    // A bad trajectory: the file and the line are named, nothing runs.
    std::ofstream(trajectory.toStdString()) << "0 0 1 1 0 0 0\n";
    process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--data-dir", home.path()});
    ASSERT_TRUE(process.waitForFinished());
    EXPECT_EQ(1, process.exitCode());
    EXPECT_TRUE(process.readAllStandardError().contains((trajectory + ":1:").toUtf8()));
}
