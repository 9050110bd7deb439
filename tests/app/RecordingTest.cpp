// The real program records and replays itself: a full-screen test run recorded through X input
// replays in a fresh process and ends with its script; scripts that do not fit end with -1 and
// their message. A plain start records enciphered; the log goes with the saved planning, loses
// at most its unfinished last block to SIGKILL, and the planning still loads.
#include "AppTestSupport.h"

#include "shell/main/LogFileKey.h"

#include <algorithm>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <csignal>

namespace {

using AppTest::xdotool;

// The log deciphered by openssl, its padding checked unless `nopad` ("-v" only talks on stderr).
QByteArray decipher(const QString& file, bool nopad)
{
    const auto& key = Quorvane::logFileKey();
    QProcess openssl;
    openssl.start("openssl", {"enc", "-d", "-aes-128-ecb", nopad ? "-nopad" : "-v", "-K",
                              QByteArray(key.data(), qsizetype(key.size())).toHex(), "-in", file});
    EXPECT_TRUE(openssl.waitForFinished(30000) && openssl.exitCode() == 0) << openssl.readAllStandardError().toStdString();
    return openssl.readAllStandardOutput();
}

QStringList logsIn(const QString& folder)
{
    return QDir(folder).entryList({"*.log"}, QDir::Files, QDir::Name).replaceInStrings(QRegularExpression("^"), folder + "/");
}


}

TEST(RecordingTest, AFullScreenTestRunReplaysInAFreshProcessAndEndsWithItsScript)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    QByteArray recorded;
    {
        // Full screen; screenshots by key and by the 3D mouse's button 15 (the daemon stand-in
        // numbers from 0; logical 11); Ctrl+W at state 0 ends the run with 0 and starts the sibling.
        AppTest::AppFolder home;
        QFile sibling(home.path("StartMenu"));
        ASSERT_TRUE(sibling.open(QIODevice::WriteOnly));
        sibling.write("#!/bin/sh\ntouch \"$MORVANTA_HOME/sibling-ran\"\n");
        sibling.close();
        sibling.setPermissions(sibling.permissions() | QFile::ExeOwner);
        QLocalServer daemon; // libspnav connects to SPNAV_SOCKET
        ASSERT_TRUE(daemon.listen(home.path("spnav.sock")));
        QProcess program;
        const QString window = AppTest::startProgram(program, display, home.path(), {"-test", "-record", "-script", "run.tpw"});
        ASSERT_FALSE(window.isEmpty());
        EXPECT_TRUE(xdotool(display, {"getwindowgeometry", window}).contains("Geometry: 1920x1080"));
        const auto screenshots = [&] { return QDir(home.path("Images")).entryList({"*.bmp"}); };
        xdotool(display, {"key", "p"});
        ASSERT_TRUE(AppTest::waitFor([&] { return screenshots().size() == 1; }, 30000));
        EXPECT_EQ(QImage(home.path("Images/" + screenshots()[0])).size(), QSize(1920, 1080));
        ASSERT_TRUE(daemon.waitForNewConnection(10000)) << "the program did not open the 3D mouse";
        const qint32 press[8] = {1, 14, 0, 0, 0, 0, 0, 0};
        daemon.nextPendingConnection()->write(reinterpret_cast<const char*>(press), sizeof(press));
        EXPECT_TRUE(AppTest::waitFor([&] { return screenshots().size() == 2; }, 30000));
        xdotool(display, {"key", "ctrl+w"});
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(AppTest::waitFor([&] { return QFile::exists(home.path("sibling-ran")); }, 10000));
        QFile script(home.path("run.tpw"));
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        recorded = script.readAll();
    }
    const qsizetype closing = recorded.indexOf("key=\"Control\"");
    ASSERT_TRUE(closing > 0 && recorded.trimmed().endsWith("</Events>")) << recorded.toStdString();
    const struct { const char* name; QByteArray script; int code; const char* message; } cases[] = {
        {"as recorded", recorded, 0, ""},
        {"without its closing keys", recorded.left(recorded.lastIndexOf('\n', closing) + 1) + "</Events>\n", 0, ""},
        {"missing", {}, 255, "File 'run.tpw' doesn't exist"},
        {"damaged", QByteArray(recorded).replace("<Version", "<Version <"), 255, "Error reading file 'run.tpw' on line 2"},
        {"cut short", recorded.left(recorded.size() / 2), 255, "ends without '</Events>'"},
        {"for another layout", QByteArray(recorded).replace("/pName/CentralWidget", "/pName/Elsewhere"), 255,
         "Unable to find widget with name /pName/Elsewhere/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppTest::AppFolder home;
        QFile file(home.path("run.tpw"));
        if (!c.script.isNull() && file.open(QIODevice::WriteOnly))
            file.write(c.script), file.close();
        QProcess program;
        AppTest::startProgram(program, display, home.path(), {"-test", "-playback", "-noconfig", "-script", "run.tpw"});
        // A bad script may end the program before its window shows: then it has already finished.
        ASSERT_TRUE(program.state() == QProcess::NotRunning || program.waitForFinished(90000)) << "no end";
        const QString errors = program.readAllStandardError();
        EXPECT_EQ(program.exitCode(), c.code) << errors.toStdString();
        EXPECT_TRUE(errors.contains(c.message)) << errors.toStdString();
        EXPECT_FALSE(QFile::exists(home.path("patients/MorvantaStudyDummy/System/stacktrace.log")));
        EXPECT_TRUE(c.code != 0 || QDir(home.path("Images")).entryList({"*.bmp"}).size() == 1) << "the replayed key only";
    }
}

TEST(RecordingTest, APlainStartRecordsEncipheredAndAKillLosesAtMostTheLastBlock)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    const auto pause = [](int ms) { AppTest::waitFor([] { return false; }, ms); };
    AppTest::AppFolder home;
    QProcessEnvironment prefixed; // the option a plain start records with must carry the prefix
    prefixed.insert("TAPEWRIGHTPREFIX", "x");
    const QString study = home.path("patients/MorvantaStudyDummy/System");
    QProcess program;
    // Import, then quit saving as new: the log goes with the planning.
    ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
    AppTest::openFirstEntry(false);
    ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == 1; }, 120000));
    AppTest::inWindow("^Morvanta$", {"windowfocus", "--sync", "%1", "key", "ctrl+w"});
    AppTest::inWindow("^Save patient$", {"windowfocus", "--sync", "%1", "key", "space"}); // "Save as new"
    ASSERT_TRUE(program.waitForFinished(120000));
    const QStringList copies = logsIn(QDir(home.path("patients")).entryInfoList({"20*"}, QDir::Dirs).value(0).filePath() + "/system");
    ASSERT_EQ(copies.size(), 1);
    const QByteArray session = decipher(copies[0], false);
    EXPECT_TRUE(session.startsWith("<Events>") && session.trimmed().endsWith("</Events>") && session.contains("/pName/SaveDialog"))
        << session.toStdString();

    // Reloaded twice; each run is killed after mouse steps whose records have one length.
    for (int run = 2; run <= 3; ++run) {
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
        AppTest::openFirstEntry(true);
        ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == run; }, 120000));
        pause(2000);
        EXPECT_TRUE(AppTest::waitForWindow(display, "^Loading error$", 0).isEmpty()) << "the planning loads";
        for (int i = 0; i < 6; ++i, pause(300))
            xdotool(display, {"mousemove", QString::number(400 + 20 * i), QString::number(200 + 10 * i)});
        pause(1500);
        ::kill(pid_t(program.processId()), SIGKILL);
        program.waitForFinished(10000);
    }
    const QString killed = logsIn(study).at(1);
    EXPECT_EQ(QFileInfo(killed).size() % 16, 0);
    // Whole records up to the last one, and of that one all but at most 15 bytes.
    const QByteArray text = decipher(killed, true);
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_TRUE(text.startsWith("<Events>") && lines.size() > 2);
    // Numbers (coordinates, sleeps) vary in length; a record's shape has each as one '#'. The lost
    // bytes are counted against the shortest complete record of the shape the cut one began.
    const auto shape = [](const QByteArray& line) {
        return QString(line).replace(QRegularExpression("-?\\d[\\d.]*"), "#");
    };
    const QString last = shape(lines.last());
    qsizetype shortest = -1;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i)
        if (shape(lines[i]).contains("<MouseMove") && shape(lines[i]).startsWith(last))
            shortest = shortest < 0 ? lines[i].size() : std::min(shortest, lines[i].size());
    ASSERT_GE(shortest, 0) << "the cut record begins like a recorded mouse step: " << lines.last().toStdString();
    EXPECT_LE(last.isEmpty() ? 0 : shortest + 1 - lines.last().size(), 15) << "bytes lost of the last record";
    EXPECT_NE(QProcess::execute("grep", {"-rlq", "<Events>", home.path("patients")}), 0) << "a recording in plain text";
}
