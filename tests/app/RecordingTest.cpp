// The real program records and replays itself: a test run recorded through X input replays in a
// fresh process and ends with its script (0); scripts that do not fit end with -1 and their
// message. A plain start records a planning session enciphered; the log goes with the saved
// planning, loses at most its unfinished last block to SIGKILL, and the planning still loads.
#include "AppTestSupport.h"

#include "shell/main/LogFileKey.h"

#include <QRegularExpression>
#include <gtest/gtest.h>
#include <csignal>

namespace {

using AppTest::xdotool;

// The log deciphered by the outside tool (the padding checked unless `nopad`).
QByteArray decipher(const QString& file, bool nopad)
{
    const auto& key = Quorvane::logFileKey();
    QProcess openssl;
    openssl.start("openssl", QStringList{"enc", "-d", "-aes-128-ecb", "-K", QByteArray(key.data(), qsizetype(key.size())).toHex(),
                                         "-in", file} + (nopad ? QStringList{"-nopad"} : QStringList{}));
    openssl.waitForFinished(30000);
    EXPECT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    return openssl.readAllStandardOutput();
}

QStringList logsIn(const QString& folder)
{
    return QDir(folder).entryList({"*.log"}, QDir::Files, QDir::Name).replaceInStrings(QRegularExpression("^"), folder + "/");
}

// Runs xdotool on the visible window of that title once it is there ("%w" is its id). Keys go
// after "windowfocus": without a window manager a closed dialog gives the focus to no one.
void inWindow(const QString& title, QStringList args)
{
    const QString window = AppTest::waitForWindow(AppTest::xServer().display(), title, 30000);
    ASSERT_FALSE(window.isEmpty()) << title.toStdString();
    xdotool(AppTest::xServer().display(), args.replaceInStrings("%w", window));
}

// Patient, then the first row of the import (or planning) table and its accepting key.
void openFirstEntry(bool reload)
{
    inWindow("^Morvanta$", {"windowfocus", "--sync", "%w", "key", "space"});
    inWindow("^Load patient$", {"mousemove", "--window", "%w", reload ? "252" : "90", "58", "click", "1"});
    // The table fills while the dialog shows: the row is chosen again until the dialog goes.
    const QString display = AppTest::xServer().display(), title = reload ? "^Load planning$" : "^DICOM Data Import$";
    QString window = AppTest::waitForWindow(display, title, 30000);
    for (int i = 0; i < 20 && !window.isEmpty(); ++i) {
        xdotool(display, {"mousemove", "--window", window, "230", "42", "click", "1", "key", reload ? "alt+o" : "alt+i"});
        AppTest::waitFor([&] { return (window = AppTest::waitForWindow(display, title, 0)).isEmpty(); }, 3000);
    }
    ASSERT_TRUE(window.isEmpty()) << title.toStdString();
}

void pause(int ms)
{
    AppTest::waitFor([] { return false; }, ms);
}

}

TEST(RecordingTest, ATestRunReplaysInAFreshProcessAndEndsWithItsScript)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    QByteArray recorded;
    {
        // A screenshot by key, then Ctrl+W.
        AppTest::AppFolder home;
        QProcess program;
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {"-test", "-record", "-script", "run.tpw"}).isEmpty());
        xdotool(display, {"key", "p"});
        ASSERT_TRUE(AppTest::waitFor([&] { return QDir(home.path("Images")).entryList({"*.bmp"}).size() == 1; }, 20000));
        xdotool(display, {"key", "ctrl+w"});
        ASSERT_TRUE(program.waitForFinished(30000));
        QFile script(home.path("run.tpw"));
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        recorded = script.readAll();
    }
    const qsizetype closing = recorded.indexOf("key=\"Control\"");
    ASSERT_TRUE(closing > 0 && recorded.trimmed().endsWith("</Events>")) << recorded.toStdString();
    const struct
    {
        const char* name;
        QByteArray script; // null: no file
        int code;
        const char* message;
    } cases[] = {
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
        ASSERT_TRUE(program.waitForFinished(90000)) << "no end";
        const QString errors = program.readAllStandardError();
        EXPECT_EQ(program.exitCode(), c.code) << errors.toStdString();
        EXPECT_TRUE(errors.contains(c.message)) << errors.toStdString();
        EXPECT_FALSE(QFile::exists(home.path("patients/MorvantaStudyDummy/System/stacktrace.log")));
        if (c.code == 0) {
            EXPECT_EQ(QDir(home.path("Images")).entryList({"*.bmp"}).size(), 1) << "the replayed screenshot key";
        }
    }
}

TEST(RecordingTest, APlainStartRecordsEncipheredAndAKillLosesAtMostTheLastBlock)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    QProcessEnvironment prefixed; // the option a plain start records with must carry the prefix
    prefixed.insert("TAPEWRIGHTPREFIX", "x");
    const QString study = home.path("patients/MorvantaStudyDummy/System");
    QProcess program;
    // Import, then quit saving as new: the log goes with the planning.
    ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
    openFirstEntry(false);
    ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == 1; }, 120000)) << "nothing recorded";
    inWindow("^Morvanta$", {"windowfocus", "--sync", "%w", "key", "ctrl+w"});
    inWindow("^Save patient$", {"windowfocus", "--sync", "%w", "key", "space"}); // "Save as new"
    ASSERT_TRUE(program.waitForFinished(120000));
    const QStringList copies = logsIn(QDir(home.path("patients")).entryInfoList({"20*"}, QDir::Dirs).value(0).filePath() + "/system");
    ASSERT_EQ(copies.size(), 1);
    const QByteArray session = decipher(copies[0], false);
    EXPECT_TRUE(session.startsWith("<Events>") && session.trimmed().endsWith("</Events>") && session.contains("/pName/SaveDialog"))
        << session.toStdString();

    // Reloaded twice; each run is killed after mouse steps whose records have one length.
    for (int run = 2; run <= 3; ++run) {
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, prefixed).isEmpty());
        openFirstEntry(true);
        ASSERT_TRUE(AppTest::waitFor([&] { return logsIn(study).size() == run; }, 120000));
        pause(2000);
        EXPECT_TRUE(AppTest::waitForWindow(display, "^Loading error$", 100).isEmpty()) << "the planning loads";
        for (int i = 0; i < 6; ++i) {
            xdotool(display, {"mousemove", QString::number(400 + 20 * i), QString::number(200 + 10 * i)});
            pause(300);
        }
        pause(1500);
        ::kill(pid_t(program.processId()), SIGKILL);
        program.waitForFinished(10000);
    }
    const QString killed = logsIn(study).at(1);
    EXPECT_EQ(QFileInfo(killed).size() % 16, 0);
    const QByteArray text = decipher(killed, true);
    // Whole records up to the last one, and of that one all but at most 15 bytes.
    const QList<QByteArray> lines = text.split('\n');
    ASSERT_TRUE(text.startsWith("<Events>") && lines.size() > 2);
    const QString last = QString(lines.last()).replace(QRegularExpression("\\d"), "#");
    const QString before = QString(lines[lines.size() - 2]).replace(QRegularExpression("\\d"), "#");
    EXPECT_TRUE(before.contains("<MouseMove") && before.startsWith(last)) << last.toStdString();
    EXPECT_LE(last.isEmpty() ? 0 : before.size() + 1 - last.size(), 15) << "bytes lost of the last record";
    EXPECT_NE(QProcess::execute("grep", {"-rlq", "<Events>", home.path("patients")}), 0) << "a recording in plain text";
}
