// The real program records and replays itself. A test run recorded through real X input replays
// in a fresh process and ends with 0; scripts that do not fit end with -1 and their message. A
// planning session records, encrypted, from its first import: the recording goes with the saved
// planning, survives a SIGKILL but for its last unfinished block, and the planning still loads.
#include "AppTestSupport.h"

#include "shell/main/LogFileKey.h"

#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <csignal>

namespace {

using AppTest::waitForWindow;
using AppTest::xdotool;

// The log deciphered by the outside tool (with the padding checked, unless `nopad`).
QByteArray decipher(const QString& file, bool nopad)
{
    const auto& key = Quorvane::logFileKey();
    QStringList args{"enc", "-d", "-aes-128-ecb", "-K", QByteArray(key.data(), qsizetype(key.size())).toHex(), "-in", file};
    if (nopad)
        args << "-nopad";
    QProcess openssl;
    openssl.start("openssl", args);
    openssl.waitForFinished(30000);
    EXPECT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    return openssl.readAllStandardOutput();
}

QStringList logsIn(const QString& folder)
{
    QStringList logs;
    for (const QString& name : QDir(folder).entryList({"*.log"}, QDir::Files, QDir::Name))
        logs << folder + "/" + name;
    return logs;
}

// Runs xdotool on the visible window of that title once it is there ("%w" is its id).
void inWindow(const QString& display, const QString& title, QStringList args)
{
    const QString window = waitForWindow(display, title, 30000);
    ASSERT_FALSE(window.isEmpty()) << title.toStdString();
    xdotool(display, args.replaceInStrings("%w", window));
}

// A key into that window, which gets the focus first (without a window manager no window gets
// it back by itself when a dialog closes).
void keyIn(const QString& display, const QString& title, const QString& key)
{
    inWindow(display, title, {"windowfocus", "--sync", "%w", "key", key});
}

// Patient, then the first row of the import (or planning) table and its accepting key.
void openFirstEntry(const QString& display, bool reload)
{
    xdotool(display, {"key", "space"});
    inWindow(display, "^Load patient$", {"mousemove", "--window", "%w", reload ? "252" : "90", "58", "click", "1"});
    inWindow(display, reload ? "^Load planning$" : "^DICOM Data Import$",
             {"mousemove", "--window", "%w", "230", "42", "click", "1", "key", reload ? "alt+o" : "alt+i"});
}

struct Replay
{
    int code = 0;
    QString errors;
};

Replay replay(const AppTest::AppFolder& home, const QString& script)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", AppTest::xServer().display());
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(home.path());
    program.start(AppTest::built + "/Morvanta", {"-test", "-playback", "-noconfig", "-script", script});
    if (!program.waitForFinished(90000)) {
        program.kill();
        program.waitForFinished();
        return {-100, "no end within 90 s"};
    }
    return {program.exitCode(), QString::fromLocal8Bit(program.readAllStandardError())};
}

}

TEST(RecordingTest, ATestRunReplaysInAFreshProcessAndEndsWithItsScript)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    QByteArray recorded;
    {
        // A screenshot by key, the Patient dialog opened and cancelled, Ctrl+W.
        AppTest::AppFolder home;
        QProcess program;
        const QString window = AppTest::startProgram(program, display, home.path(), {"-test", "-record", "-script", "run.tpw"});
        ASSERT_FALSE(window.isEmpty());
        xdotool(display, {"key", "p"});
        ASSERT_TRUE(AppTest::waitFor([&] { return !QDir(home.path("Images")).entryList({"*.bmp"}).isEmpty(); }, 20000));
        xdotool(display, {"key", "space"});
        keyIn(display, "^Load patient$", "Escape");
        keyIn(display, "^Morvanta$", "ctrl+w");
        ASSERT_TRUE(program.waitForFinished(30000));
        EXPECT_EQ(program.exitCode(), 0);
        QFile script(home.path("run.tpw"));
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        recorded = script.readAll();
    }
    ASSERT_TRUE(recorded.trimmed().endsWith("</Events>"));
    ASSERT_TRUE(recorded.contains("/PatientButton"));
    const qsizetype closing = recorded.indexOf("key=\"Control\"");
    ASSERT_GT(closing, 0);
    const QByteArray open = recorded.left(recorded.lastIndexOf('\n', closing) + 1) + "</Events>\n";

    const struct
    {
        const char* name;
        QByteArray script; // none: no file
        int code;
        const char* message;
    } cases[] = {
        {"as recorded", recorded, 0, ""},
        {"without its closing keys", open, 0, ""},
        {"missing", {}, 255, "File 'run.tpw' doesn't exist"},
        {"damaged", QByteArray(recorded).replace("<Version", "<Version <"), 255, "Error reading file 'run.tpw' on line 2"},
        {"cut short", recorded.left(recorded.size() / 2), 255, "ends without '</Events>'"},
        {"for another layout", QByteArray(recorded).replace("/pName/CentralWidget", "/pName/Elsewhere"), 255,
         "Unable to find widget with name /pName/Elsewhere/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AppTest::AppFolder home;
        if (!c.script.isNull()) {
            QFile file(home.path("run.tpw"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.script);
        }
        const Replay run = replay(home, "run.tpw");
        EXPECT_EQ(run.code, c.code) << run.errors.toStdString();
        EXPECT_TRUE(run.errors.contains(c.message)) << run.errors.toStdString();
        EXPECT_FALSE(QFile::exists(home.path("patients/MorvantaStudyDummy/System/stacktrace.log")));
        if (c.code == 0) {
            EXPECT_EQ(QDir(home.path("Images")).entryList({"*.bmp"}).size(), 1) << "the replayed screenshot key";
            EXPECT_FALSE(run.errors.contains("widget")) << run.errors.toStdString();
        }
    }
}

TEST(RecordingTest, APlanningSessionIsRecordedEncryptedSurvivesAKillAndItsPlanningStillLoads)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    // A plain start records: with a prefix, through the prefixed option.
    QProcessEnvironment prefixed;
    prefixed.insert("TAPEWRIGHTPREFIX", "x");
    const QString study = home.path("patients/MorvantaStudyDummy/System");

    // Import, then quit saving as new: the session's log goes with the planning.
    {
        QProcess program;
        const QString window = AppTest::startProgram(program, display, home.path(), {}, prefixed);
        ASSERT_FALSE(window.isEmpty());
        openFirstEntry(display, false);
        ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == 1; }, 60000)) << "recording started";
        keyIn(display, "^Morvanta$", "ctrl+w");
        keyIn(display, "^Save patient$", "space"); // "Save as new" has the focus
        ASSERT_TRUE(program.waitForFinished(60000));
        EXPECT_EQ(program.exitCode(), 0);
    }
    const QStringList plannings = QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
    ASSERT_EQ(plannings.size(), 1);
    const QStringList copies = logsIn(home.path("patients/" + plannings[0] + "/system"));
    ASSERT_EQ(copies.size(), 1);
    const QByteArray session = decipher(copies[0], false);
    EXPECT_TRUE(session.startsWith("<Events>")) << session.left(100).toStdString();
    EXPECT_TRUE(session.trimmed().endsWith("</Events>")) << session.right(100).toStdString();
    EXPECT_TRUE(session.contains("/pName/SaveDialog")) << "the save question is in the recording";

    // Reload it, move the mouse in steps whose records have one length, kill the program.
    {
        QProcess program;
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
        openFirstEntry(display, true);
        ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == 2; }, 60000));
        AppTest::waitFor([] { return false; }, 3000);
        for (int i = 0; i < 6; ++i) {
            xdotool(display, {"mousemove", QString::number(400 + 20 * i), QString::number(200 + 10 * i)});
            AppTest::waitFor([] { return false; }, 300);
        }
        AppTest::waitFor([] { return false; }, 1500);
        ::kill(pid_t(program.processId()), SIGKILL);
        program.waitForFinished(10000);
    }
    const QString killed = logsIn(study).at(1);
    EXPECT_EQ(QFileInfo(killed).size() % 16, 0);
    const QByteArray text = decipher(killed, true);
    ASSERT_TRUE(text.startsWith("<Events>"));
    // Whole lines up to the last record; of that one at most 15 bytes are missing.
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_GE(lines.size(), 3);
    const QString last = QString(lines.last()).replace(QRegularExpression("\\d"), "#");
    const QString before = QString(lines[lines.size() - 2]).replace(QRegularExpression("\\d"), "#");
    EXPECT_TRUE(before.contains("<MouseMove")) << before.toStdString();
    EXPECT_TRUE(before.startsWith(last)) << last.toStdString();
    EXPECT_LE(last.isEmpty() ? 0 : before.size() + 1 - last.size(), 15) << "bytes lost of the last record";

    // The planning still loads: the axial view shows the volume.
    {
        QProcess program;
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
        openFirstEntry(display, true);
        ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == 3; }, 60000));
        AppTest::waitFor([] { return false; }, 2000);
        EXPECT_TRUE(waitForWindow(display, "^Loading error$", 100).isEmpty());
        const QString shot = home.path("screen.png");
        QProcess::execute("import", {"-display", display, "-window", "root", shot});
        const QImage screen(shot);
        int lit = 0;
        for (int y = 580; y < 820; ++y)
            for (int x = 1100; x < 1340; ++x)
                lit += qGray(screen.pixel(x, y)) > 40;
        EXPECT_GT(lit, 5000) << "the lower right view shows the sample patient";
        ::kill(pid_t(program.processId()), SIGKILL);
        program.waitForFinished(10000);
    }
    EXPECT_NE(QProcess::execute("grep", {"-rlq", "<Events>", home.path("patients")}), 0) << "a recording in plain text";
}
