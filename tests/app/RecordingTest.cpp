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
        // Each key goes after the window is focused: a key pressed while the X focus is elsewhere
        // (on the root, as a dialog that closed leaves it without a window manager) does nothing.
        xdotool(display, {"windowfocus", "--sync", window, "key", "p"});
        ASSERT_TRUE(AppTest::waitFor([&] { return screenshots().size() == 1; }, 30000));
        EXPECT_EQ(QImage(home.path("Images/" + screenshots()[0])).size(), QSize(1920, 1080));
        ASSERT_TRUE(daemon.waitForNewConnection(10000)) << "the program did not open the 3D mouse";
        const qint32 press[8] = {1, 14, 0, 0, 0, 0, 0, 0};
        daemon.nextPendingConnection()->write(reinterpret_cast<const char*>(press), sizeof(press));
        EXPECT_TRUE(AppTest::waitFor([&] { return screenshots().size() == 2; }, 30000));
        xdotool(display, {"windowfocus", "--sync", window, "key", "ctrl+w"});
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

// A member of the group works on a patient folder whose MorvantaStudyDummy another member made
// with that member's umask: the sample is imported, imported again after "New planning without
// save", and the program quit without saving. Where the patient folder cannot take the recording,
// each session is recorded beside the program, and that is said once, with the step that failed
// and its cause; with 002 the patient folder takes it without a word; where neither place can,
// that is said once.
TEST(RecordingTest, ASessionThePatientFolderCannotTakeIsRecordedBesideTheProgramAndSaidOnce)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    constexpr int group = 52000, owner = 52001, member = 52002;
    if (::geteuid() != 0 || QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const auto asUser = [](int user, const char* umask) {
        return QStringList{"setpriv", "--reuid=" + QString::number(user), "--regid=" + QString::number(group),
                           "--clear-groups", "sh", "-c", QString("umask %1 && exec \"$@\"").arg(umask), "sh"};
    };
    const QString noFile = "no file can be created in that folder (Permission denied)";
    const struct
    {
        const char* umask;    // the owner's and the member's
        const char* owners;   // made by the owner in the patient folder
        bool programsToo;     // the program's MorvantaStudyDummy/System the owner's as well
        QString why;          // said of the patient folder; empty: nothing is said
    } cases[] = {
        {"022", "MorvantaStudyDummy/System", false, noFile},
        {"027", "MorvantaStudyDummy/System", false, noFile},
        {"022", "MorvantaStudyDummy", false, "the folder cannot be made (Permission denied)"},
        {"002", "MorvantaStudyDummy/System", false, {}},
        {"022", "MorvantaStudyDummy/System", true, noFile},
    };
    // Where a save question's "New planning without save" and "Quit without save" are.
    constexpr QPoint withoutSave{468, 106};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.umask) + ", " + c.owners + (c.programsToo ? ", program's folder too" : ""));
        AppTest::AppFolder home;
        const QString patients = home.path("patients"), inPatients = patients + "/MorvantaStudyDummy/System",
                      beside = home.path("MorvantaStudyDummy/System");
        // The program's folder open to both; the patient folder the group's (setgid).
        ASSERT_EQ(QProcess::execute("sh", {"-c", QString("chmod -R a+rwX '%1' && chown root:%2 '%3' && chmod 2775 '%3'")
                                                     .arg(home.path()).arg(group).arg(patients)}), 0);
        const QStringList made = asUser(owner, c.umask) + QStringList{"mkdir", "-p", patients + "/" + c.owners};
        ASSERT_EQ(QProcess::execute("setpriv", made.mid(1) + (c.programsToo ? QStringList{beside} : QStringList())), 0);
        const bool told = !c.why.isEmpty(), recorded = !c.programsToo;
        const QString where = told ? beside : inPatients, elsewhere = told ? inPatients : beside;
        const QString said = !told ? QString()
                             : "Session recording: This session cannot be recorded in " + inPatients + ": " + c.why + ".\n" +
                                   (recorded ? "It is recorded beside the program instead, in " + beside + ".\n"
                                             : "Nor can it be recorded beside the program, in " + beside + ": " + noFile +
                                                   ".\nNothing of it is recorded.\n");

        QProcess program;
        ASSERT_FALSE(AppTest::startProgram(program, display, home.path(), {}, {}, asUser(member, c.umask)).isEmpty());
        // Each session's log appears there and grows as the session goes on.
        QStringList known;
        const auto newLogGrows = [&] {
            qint64 before = -1;
            int step = 0;
            const bool grew = AppTest::waitFor([&] {
                QString log;
                for (const QString& each : logsIn(where))
                    log = known.contains(each) ? log : each;
                const qint64 size = log.isEmpty() ? 0 : QFileInfo(log).size();
                if (size > 0 && before < 0)
                    before = size;
                xdotool(display, {"mousemove", QString::number(300 + 40 * (++step % 2)), "300"});
                return before >= 0 && size > before;
            }, 120000);
            known = logsIn(where);
            return grew;
        };
        for (const QPoint answer : {QPoint(), withoutSave}) {
            AppTest::openFirstEntry(false, answer);
            if (told && answer.isNull()) {
                const QString box = AppTest::waitForWindow(display, "^Session recording$", 120000, &program);
                ASSERT_FALSE(box.isEmpty());
                AppTest::xdotool(display, {"windowfocus", "--sync", box, "key", "Return"});
                // Gone before the window is focused again: without a window manager, a window
                // focused behind a modal dialog is never made active again.
                ASSERT_TRUE(AppTest::waitFor([&] { return AppTest::waitForWindow(display, "^Session recording$", 0, &program).isEmpty(); }));
            }
            if (recorded) {
                EXPECT_TRUE(newLogGrows()) << logsIn(where).join(", ").toStdString();
            }
        }
        // The next window is the quit's question, never a second box. Ctrl+W is pressed once the
        // import's progress has given the keys back: while a window of the program's other than
        // the main one holds the X focus (a dialog in front), nothing is pressed or focused (see
        // above); otherwise the window is focused before each press, for between the import's
        // dialogs the X focus rests on the root, where the shortcut does nothing.
        QString question;
        for (int i = 0; i < 40 && question.isEmpty() && program.state() == QProcess::Running; ++i) {
            const QString main = AppTest::waitForWindow(display, "^Morvanta$", 120000, &program),
                          focused = xdotool(display, {"getwindowfocus"});
            if (focused == main || xdotool(display, {"getwindowpid", focused}) != QString::number(program.processId()))
                xdotool(display, {"windowfocus", "--sync", main, "key", "ctrl+w"});
            question = AppTest::waitForWindow(display, "^(Save patient|Session recording)$", 3000, &program);
        }
        ASSERT_EQ(xdotool(display, {"getwindowname", question}), "Save patient");
        xdotool(display, {"mousemove", "--window", question, QString::number(withoutSave.x()),
                          QString::number(withoutSave.y()), "click", "1"});
        ASSERT_TRUE(program.waitForFinished(120000));
        EXPECT_EQ(program.exitCode(), 0);
        const QString errors = program.readAllStandardError();
        EXPECT_EQ(errors.count("Session recording: "), told ? 1 : 0) << errors.toStdString();
        EXPECT_TRUE(errors.contains(said)) << errors.toStdString();
        EXPECT_EQ(logsIn(where).size(), recorded ? 2 : 0);
        EXPECT_EQ(logsIn(elsewhere), QStringList());
    }
}
