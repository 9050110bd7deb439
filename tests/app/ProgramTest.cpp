// The real program under an X server of its own, started in a private application folder:
// pictures of an earlier session are kept and a killed video still decodes. And the event
// boundary through Program::run. (Its full-screen session is the recording tests' one.)
#include "AppTestSupport.h"

#include <gtest/gtest.h>
#include <csignal>

namespace {

using AppTest::startProgram;
using AppTest::xdotool;
using AppTest::xServer;

}

TEST(ProgramTest, EarlierPicturesAreKeptAndAKilledVideoStillDecodes)
{
    TestSupport::PrivateXServer& x = xServer();
    if (!x.running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    QDir().mkpath(home.path("Images"));
    QFile earlier(home.path("Images/earlier.bmp"));
    earlier.open(QIODevice::WriteOnly);
    earlier.write("picture of an earlier session");
    earlier.close();
    QProcess program;
    ASSERT_FALSE(startProgram(program, x.display(), home.path()).isEmpty());
    EXPECT_TRUE(QFile::exists(home.path("Images/recovered/earlier.bmp")));
    EXPECT_FALSE(QFile::exists(home.path("Images/earlier.bmp")));
    // The user is told so, once the window shows.
    const QString told = AppTest::waitForWindow(x.display(), "^Earlier sessions$", 30000, &program);
    ASSERT_FALSE(told.isEmpty());
    xdotool(x.display(), {"windowfocus", "--sync", told, "key", "space"});
    ASSERT_TRUE(AppTest::waitFor([&] { return AppTest::waitForWindow(x.display(), "^Earlier sessions$", 0).isEmpty(); }, 30000));
    xdotool(x.display(), {"search", "--onlyvisible", "--name", "^Morvanta$", "windowfocus", "--sync"});

    xdotool(x.display(), {"key", "r"});
    QString video;
    ASSERT_TRUE(AppTest::waitFor([&] {
        const QStringList videos = QDir(home.path("Images")).entryList({"*.avi"}, QDir::Files);
        video = videos.isEmpty() ? QString() : home.path("Images/" + videos.front());
        return !video.isEmpty() && QFileInfo(video).size() > 100000;
    }, 30000));
    AppTest::waitFor([] { return false; }, 1000);
    ::kill(pid_t(program.processId()), SIGKILL);
    program.waitForFinished(10000);

    QProcess decode;
    decode.start("ffmpeg", {"-v", "error", "-i", video, "-f", "null", "-"});
    ASSERT_TRUE(decode.waitForFinished(60000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(QString(decode.readAllStandardError()), "");
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", video});
    probe.waitForFinished(60000);
    EXPECT_GE(QString(probe.readAllStandardOutput()).trimmed().toInt(), 10) << "a frame each 100 ms until the kill";
}

TEST(ProgramTest, AThrowingSlotEndsTheRunWithTheBoxTheTrailAndExitCodeOne)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const QString kind : {"known", "unknown"}) {
        SCOPED_TRACE(kind.toStdString());
        AppTest::AppFolder home;
        QProcess run;
        run.start(APP_BOUNDARY, {kind});
        ASSERT_TRUE(run.waitForFinished(60000));
        const QString out = run.readAllStandardOutput();
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_TRUE(out.contains(kind == "known" ? "box Known exception occured:\na slot failed"
                                                 : "box Unknown exception occured!"))
            << out.toStdString();
        EXPECT_TRUE(out.contains("endRecording 2")) << out.toStdString();
        QFile log(home.path("patients/MorvantaStudyDummy/System/stacktrace.log"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString(log.readAll()).split('\n');
        ASSERT_GE(lines.size(), 6);
        EXPECT_EQ(lines[0], "Application: Morvanta");
        EXPECT_TRUE(lines[1].startsWith("trace begin date: "));
        const QString trail = lines.mid(2).join('\n');
        EXPECT_TRUE(trail.contains(QRegularExpression("\tvoid \\{anonymous\\}::Thrower::fail\\(bool\\)\t\\d+\n")))
            << trail.toStdString();
        EXPECT_TRUE(lines[lines.size() - 3].startsWith("trace end date: "));
        EXPECT_EQ(lines[lines.size() - 2], "");
    }
}
