// The real program under an X server of its own, started in a private application folder: full
// screen, P and the 3D mouse's button 15 (from a daemon stand-in) take screenshots, Ctrl+W at
// state 0 ends it with 0 and starts the sibling. And the event boundary through Program::run.
#include "AppTestSupport.h"

#include <QElapsedTimer>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <gtest/gtest.h>
#include <csignal>

namespace {

using AppTest::startProgram;
using AppTest::xdotool;
using AppTest::xServer;

QStringList screenshots(const AppTest::AppFolder& home)
{
    return QDir(home.path("Images")).entryList({"*.bmp"}, QDir::Files, QDir::Name);
}

}

TEST(ProgramTest, FullScreenScreenshotsByKeyAndDeviceAndQuitStartsTheSibling)
{
    TestSupport::PrivateXServer& x = xServer();
    if (!x.running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    QFile sibling(home.path("StartMenu"));
    ASSERT_TRUE(sibling.open(QIODevice::WriteOnly));
    sibling.write("#!/bin/sh\ntouch \"$MORVANTA_HOME/sibling-ran\"\n");
    sibling.close();
    sibling.setPermissions(sibling.permissions() | QFile::ExeOwner);
    // The 3D-mouse daemon: libspnav connects to SPNAV_SOCKET.
    QLocalServer daemon;
    ASSERT_TRUE(daemon.listen(home.path("spnav.sock")));

    QProcess program;
    const QString window = startProgram(program, x.display(), home.path());
    ASSERT_FALSE(window.isEmpty());
    const QString geometry = xdotool(x.display(), {"getwindowgeometry", window});
    EXPECT_TRUE(geometry.contains("Geometry: 1920x1080")) << geometry.toStdString();

    xdotool(x.display(), {"key", "p"});
    ASSERT_TRUE(AppTest::waitFor([&] { return screenshots(home).size() == 1; }, 30000));
    const QImage shot(home.path("Images/" + screenshots(home).front()));
    EXPECT_EQ(shot.size(), QSize(1920, 1080));

    // Device button 15 (the daemon numbers buttons from 0) is logical 11: a screenshot.
    bool connected = daemon.waitForNewConnection(10000);
    if (connected) {
        QLocalSocket* device = daemon.nextPendingConnection();
        const qint32 press[8] = {1, 14, 0, 0, 0, 0, 0, 0};
        device->write(reinterpret_cast<const char*>(press), sizeof(press));
        device->flush();
        EXPECT_TRUE(AppTest::waitFor([&] { return screenshots(home).size() == 2; }, 30000));
    } else {
        ADD_FAILURE() << "the program did not open the 3D mouse";
    }

    xdotool(x.display(), {"key", "ctrl+w"});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(AppTest::waitFor([&] { return QFile::exists(home.path("sibling-ran")); }, 10000));
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
