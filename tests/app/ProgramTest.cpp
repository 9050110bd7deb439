// The real program under an X server of its own, started in a private application folder:
// pictures of an earlier session are kept and a killed video still decodes. And the event
// boundary through Program::run. (Its full-screen session is the recording tests' one.) How a
// start that cannot go on ends, for the program and twdemo alike.
#include "AppTestSupport.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <csignal>
#include <functional>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using AppTest::startProgram;
using AppTest::xdotool;
using AppTest::xServer;

// Starts the program in test mode (with "-test" first) or twdemo with the options, in the folder on
// the program tests' X server (in the environment as `adjust` leaves it), behind `wrapper`.
void startRun(QProcess& child, bool program, const QStringList& options, const QString& home, const QStringList& wrapper = {},
              const std::function<void(QProcessEnvironment&)>& adjust = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", xServer().display());
    environment.remove("QT_QPA_PLATFORM");
    if (adjust)
        adjust(environment);
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(home);
    const QStringList command = wrapper + (program ? QStringList{AppTest::built + "/Morvanta", "-test"} : QStringList{TWDEMO_PROGRAM}) + options;
    child.start(command.first(), command.mid(1));
}

// How a run started so ended and its standard error, waited for two minutes at most (a run that
// hangs is killed then).
QString endOfRun(QProcess& child)
{
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return "no end\n";
    }
    return (child.exitStatus() == QProcess::NormalExit ? "status " + QString::number(child.exitCode()) : QString("crashed")) + "\n" +
           QString::fromLocal8Bit(child.readAllStandardError());
}

QString runToItsEnd(bool program, const QStringList& options, const QString& home, const QStringList& wrapper = {},
                    const std::function<void(QProcessEnvironment&)>& adjust = {})
{
    QProcess child;
    startRun(child, program, options, home, wrapper, adjust);
    return endOfRun(child);
}

QString writeFile(const QString& name, const QByteArray& text)
{
    QFile file(name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text) == text.size()) << name.toStdString();
    return name;
}

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
    QByteArray errors;
    ASSERT_TRUE(AppTest::waitForStartWalk(program, errors)) << errors.toStdString();
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

TEST(ProgramTest, ARefusedConfigurationFileIsNamedAndEndsTheRunWith255)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    const QString script = writeFile(home.path("s.tws"), "<Events>\n<Version id=\"3\"/>\n</Events>\n");
    QByteArray attributes = "<TapewrightConfig", large = "<TapewrightConfig/>";
    for (int i = 0; i < 65; ++i)
        attributes += " a" + QByteArray::number(i) + "=''";
    large += QByteArray(1024 * 1024 + 1 - large.size(), ' ');
    const QString utf16 = "<TapewrightConfig compressTime=\"1\"/>";
    // FIFOs are never opened: one with a writer holding it open would not end a read either.
    const QString fifo = home.path("config.fifo"), heldFifo = home.path("held.fifo");
    ASSERT_TRUE(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0 && ::mkfifo(QFile::encodeName(heldFifo).constData(), 0600) == 0);
    const int writer = ::open(QFile::encodeName(heldFifo).constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const QString loop = home.path("loop.xml");
    ASSERT_TRUE(QFile::link(loop, loop));
    // Root reads whatever the mode bits say: the unreadable file is read by another user.
    const QString unreadable = writeFile(home.path("unreadable.xml"), "<TapewrightConfig compressTime=\"1\"/>");
    const QStringList asNobody = ::geteuid() == 0 ? QStringList {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} : QStringList();
    const auto refused = [](const QString& reason) { return " " + reason + "; it is not read"; };
    const struct
    {
        QString file;
        QByteArray text; // written to the file
        QString said;    // after "Configuration file 'FILE'"; empty: read without a word
        QStringList wrapper = {};
        QString script = {};
    } cases[] = {
        {"good.xml", "<TapewrightConfig compressTime=\"1\"/>", {}},
        {"byte.xml", "<TapewrightConfig compressTime=\"1\" note=\"\xe9t\xe9\"/>", refused("is not encoded in UTF-8 (it holds the bytes 0xe9 0x74 on line 1)")},
        {"attributes.xml", attributes + "/>", refused("has an element on line 1 with more than 64 attributes")},
        {"levels.xml", "<TapewrightConfig>" + QByteArray("<a>").repeated(128) + QByteArray("</a>").repeated(128) + "</TapewrightConfig>",
         refused("nests its elements deeper than 128 levels")},
        {"large.xml", large, refused("is larger than 1 MiB, the limit for a configuration file")},
        {"doctype.xml", "<!DOCTYPE TapewrightConfig>\n<TapewrightConfig compressTime=\"1\"/>",
         refused("has a document type declaration on line 1, which a configuration file may not have")},
        {"utf16.xml", "\xff\xfe" + QByteArray(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2),
         refused("is not encoded in UTF-8 (it holds the byte 0xff on line 1)")},
        {fifo, {}, refused("is not a regular file")},
        {heldFifo, {}, refused("is not a regular file")},
        {home.path(), {}, refused("is not a regular file")},
        {home.path("missing.xml"), {}, refused("could not be opened: No such file or directory")},
        {loop, {}, refused("could not be opened: Too many levels of symbolic links")},
        {"empty.xml", "", refused("is empty")},
        {"text.xml", "not XML at all\n", ", line 1: The configuration file is not well-formed (line 1: Start tag expected.); what could be read is used."},
        {"element.xml", "<TapewrightConfig>\n<Bogus/>\n</TapewrightConfig>",
         ", line 2: Tapewright read an unknown element Bogus from the configuration file"},
        {"other.xml", "<Foo errorMessageLocation=\"stdout\"/>", refused("is no Tapewright configuration: its root element is 'Foo', not 'TapewrightConfig'")},
        {unreadable, {}, refused("could not be opened: Permission denied"), asNobody},
        // Errors go to standard error also when the file asks for a box.
        {"dialog.xml", "<TapewrightConfig errorMessageLocation=\"dialog\" creationTimeOut=\"100\"/>", {}, {}, home.path("none.tws")},
    };
    for (const bool program : {true, false})
        for (const auto& c : cases) {
            SCOPED_TRACE((program ? "program, " : "twdemo, ") + c.file.toStdString());
            const QString config = c.text.isNull() ? c.file : writeFile(home.path(c.file), c.text);
            if (config == unreadable) {
                // The other user works in the folder as the program does; only this file is closed to it.
                QProcess::execute("chmod", {"-R", "a+rwX", home.path()});
                ASSERT_TRUE(QFile::setPermissions(unreadable, QFileDevice::WriteOwner));
            }
            QElapsedTimer clock;
            clock.start();
            const QString run = runToItsEnd(program, {"-configfile", config, "-playback", "-noconfig", "-script", c.script.isEmpty() ? script : c.script},
                                            home.path(), c.wrapper);
            EXPECT_LT(clock.elapsed(), 30000);
            const bool fails = !c.said.isEmpty() || !c.script.isEmpty();
            EXPECT_TRUE(run.startsWith(fails ? "status 255\n" : "status 0\n")) << run.toStdString();
            EXPECT_EQ(run.contains("Configuration file '" + config + "'" + c.said + "\n"), !c.said.isEmpty()) << run.toStdString();
            if (!c.script.isEmpty()) {
                EXPECT_TRUE(run.contains("File '" + c.script + "' doesn't exist\n")) << run.toStdString();
            }
        }
    ::close(writer);

    // A test run that records ends with 255 as well, ended as a person ends it.
    QProcess recording;
    ASSERT_FALSE(startProgram(recording, xServer().display(), home.path(),
                              {"-test", "-record", "-configfile", home.path("byte.xml"), "-script", "r.tpw"}).isEmpty());
    xdotool(xServer().display(), {"key", "ctrl+w"});
    ASSERT_TRUE(recording.waitForFinished(60000));
    EXPECT_EQ(recording.exitCode(), 255) << recording.readAllStandardError().toStdString();
}

// Qt only warns about a thread it cannot start and waits for it for ever; the GL driver crashes
// without one of its own.
TEST(ProgramTest, AThreadThatCannotStartIsReportedAndEndsTheRunWith255)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer needs a thread of its own";
#endif
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    // The process count limit holds for all processes of a user, and not for root: root's run
    // takes a user id of its own.
    QStringList asUser;
    if (::geteuid() == 0) {
        uid_t free = 54321;
        while (::getpwuid(free))
            ++free;
        asUser = {"setpriv", "--reuid=" + QString::number(free), "--regid=" + QString::number(free), "--clear-groups"};
        QProcess::execute("chmod", {"-R", "a+rwX", home.path()});
    }
    // A recording of some 96 MB, which is read in a thread of its own: with the window system's
    // event reader, a run starts at least two threads before it can end.
    const QString small = writeFile(home.path("s.tws"), "<Events>\n<Version id=\"3\"/>\n</Events>\n");
    const QString large = writeFile(home.path("large.tws"), "<Events>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated((96 << 20) / 18) + "</Events>\n");
    struct Case
    {
        QStringList wrapper;
        QString script;
        bool programOnly = false;
    };
    std::vector<Case> cases = {
        {{THREADLESS_PROGRAM}, small},
        {asUser + QStringList{"prlimit", "--nproc=1", "--"}, large},
        {asUser + QStringList{"prlimit", "--nproc=2", "--"}, large},
    };
// Not under ASan: its runtime reserves more address space than these limits leave, and must
// come first of the preloaded libraries.
#if !defined(__SANITIZE_ADDRESS__)
    // Stacks of 512 MiB: two threads do not fit.
    for (const int mib : {500, 800})
        cases.push_back({{"prlimit", "--stack=" + QString::number(512 << 20), "--as=" + QString::number(qint64(mib) << 20), "--"}, large});
    // The GL driver's drawing threads, every one refused as the window first paints (the
    // recording waits for that): the driver does not survive a start it could not make, so the
    // run must end first, saying why.
    const QString painted = writeFile(home.path("p.tws"), "<Events>\n<Version id=\"3\"/>\n<ScreenDump name=\"/pName\" fileName=\"p.png\"/>\n</Events>\n");
    cases.push_back({{"env", "LD_PRELOAD=" REFUSE_DRIVER_THREADS}, painted, true});
#endif
    for (const bool program : {true, false})
        for (const auto& c : cases) {
            if (c.programOnly && !program)
                continue;
            SCOPED_TRACE((program ? "program, " : "twdemo, ") + c.wrapper.join(' ').toStdString());
            const QString run = runToItsEnd(program, {"-playback", "-noconfig", "-script", c.script}, home.path(), c.wrapper);
            if (run.startsWith("status 77\n"))
                GTEST_SKIP() << run.toStdString();
            EXPECT_TRUE(run.startsWith("status 255\n")) << run.toStdString();
            EXPECT_TRUE(run.contains("A thread could not be started (Resource temporarily unavailable); the program cannot go on without it and ends")
                        || run.contains("could not be read: no thread could be started to read it (Resource temporarily unavailable)"))
                << run.toStdString();
        }
}

// What a recording cannot go into is refused at once, named, with why: nothing waits for a reader
// of a FIFO or writes into a device, and no box waits for an answer (also when the configuration
// asks for one).
TEST(ProgramTest, ARecordingThatCannotBeWrittenEndsTheTestRunAtOnceWith255)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    const QString fifo = home.path("script.fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString dialog = writeFile(home.path("dialog.xml"), "<TapewrightConfig errorMessageLocation=\"dialog\"/>");
    const struct
    {
        QString target;
        QStringList options;
        QString why;
    } cases[] = {
        {fifo, {}, "it is a FIFO, not a regular file"},
        {fifo, {"-configfile", dialog}, "it is a FIFO, not a regular file"},
        {"/dev/zero", {}, "it is a device, not a regular file"},
        {home.path(), {}, "it is a folder, not a regular file"},
        {home.path("no/such/folder.tpw"), {}, "No such file or directory"},
    };
    for (const bool program : {true, false})
        for (const auto& c : cases) {
            SCOPED_TRACE((program ? "program, " : "twdemo, ") + (c.target + " " + c.options.join(' ')).toStdString());
            QElapsedTimer clock;
            clock.start();
            const QString run = runToItsEnd(program, c.options + QStringList {"-record", "-script", c.target}, home.path());
            EXPECT_LT(clock.elapsed(), 30000);
            EXPECT_TRUE(run.startsWith("status 255\n")) << run.toStdString();
            EXPECT_TRUE(run.contains("Could not open file " + c.target + " for writing: " + c.why + "\n")) << run.toStdString();
        }
}

// A test run ends by itself, and its status says how far it played: the end of the script is
// reached whatever dialog its last click opened (the line names it); a main window that closes
// before the end leaves the rest unplayed, and the line counts its input; an option test mode
// does not know is named at once. twdemo alike.
TEST(ProgramTest, ATestRunEndsByItselfWithAStatusThatSaysHowFarItPlayed)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    const QByteArray patient = R"(name="/pName/CentralWidget/ButtonWidgetStack/PlanningButtonView/PatientButton" )"
                               R"(widgetWidth="106" widgetHeight="62" button="Left" x="52" y="15")";
    // The input after a close waits long: it is never played before the close ends the run.
    const auto click = [&patient](const QByteArray& sleep) {
        return "<MousePress sleep=\"" + sleep + "\" " + patient + "/>\n<MouseRelease " + patient + " state=\"Left\"/>\n";
    };
    const auto typeA = [](const QByteArray& sleep) {
        return "<KeyPress sleep=\"" + sleep + "\" name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n"
               "<KeyRelease name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n";
    };
    const auto script = [&home](const QString& name, const QByteArray& body) {
        writeFile(home.path(name), "<Events>\n<Version id=\"3\"/>\n" + body + "</Events>\n");
        return QStringList {"-playback", "-noconfig", "-script", name};
    };
    const QString left = "Playback ended before its script did: 2 input elements (presses, releases, keys, values set, wheel turns) "
                         "were not played, from line 4 of '%1' on";
    const struct
    {
        bool program;
        QStringList options;
        int status;
        QString said;
    } cases[] = {
        {true, script("patient.tpw", "<WindowActivate name=\"/pName\"/>\n" + click("0")), 0,
         "Playback ended with the modal window /pName/LoadDialog (\"Load patient\") open\n"},
        {true, script("closed.tpw", "<Close name=\"/pName\"/>\n" + click("10000")), 255, left.arg("closed.tpw")},
        {true, {"-playbak", "-noconfig", "-script", "patient.tpw"}, 255, "Test mode does not know '-playbak'; the run ends\n"},
        {true, {"-bogusoption"}, 255, "Test mode does not know '-bogusoption'; the run ends\n"},
        {true, {}, 255, "Test mode has no script to play: neither -playback nor -record was given; the run ends\n"},
        {false, script("dialog.tws", "<KeyPress name=\"/twdemo/central/openDialog\" key=\"Space\" text=\" \"/>\n"
                                     "<KeyRelease name=\"/twdemo/central/openDialog\" key=\"Space\" text=\" \"/>\n"),
         0, "Playback ended with the modal window /twdemo/dialog (\"dialog\") open\n"},
        {false, script("closed.tws", "<Close name=\"/twdemo\"/>\n" + typeA("10000")), 255, left.arg("closed.tws")},
        {false, script("note.tws", "<Information title=\"Note\" text=\"Now type a\"/>\n" + typeA("0")), 0, "Note: Now type a\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.program ? "program " : "twdemo ") + c.options.join(' ').toStdString());
        QElapsedTimer clock;
        clock.start();
        const QString run = runToItsEnd(c.program, c.options, home.path());
        EXPECT_LT(clock.elapsed(), 25000) << "the creation time-out (5 s) and a start on a loaded machine";
        EXPECT_TRUE(run.startsWith("status " + QString::number(c.status) + "\n")) << run.toStdString();
        EXPECT_TRUE(run.contains(c.said)) << run.toStdString();
    }
}

// Every check of a script is played or counted: one after the close of the main window is never
// played, whatever its sleep, and the run names it and ends with 255; before the close it plays
// and the run ends 0. The program's test mode and twdemo alike.
TEST(ProgramTest, ACheckAfterTheMainWindowClosedIsCountedWhateverItsSleep)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    const QString picture = home.path("late.png"), ran = home.path("ran"), output = home.path("output.txt");
    const QString checks[] = {"<ScreenDump sleep=\"%1\" name=\"%2\" fileName=\"" + picture + "\"/>\n",
                              "<PrintProperty sleep=\"%1\" name=\"%2\" property=\"objectName\"/>\n",
                              "<RunCommand sleep=\"%1\" command=\"touch " + ran + "\"/>\n"};
    const QString left = "Playback ended before its script did: 1 check (a screen dump, printed property, command, include or message) "
                         "was not played, on line 4 of 's.tws'\n";
    for (const bool program : {true, false})
        for (const QString& check : checks)
            for (const int sleep : {0, 100, 500, -1}) {   // -1: before the close
                const QString window = program ? "/pName" : "/twdemo", element = check.arg(std::max(sleep, 0)).arg(window);
                SCOPED_TRACE((window + " " + element).toStdString());
                for (const QString& file : {picture, ran, output})
                    QFile::remove(file);
                const QString close = "<Close sleep=\"100\" name=\"" + window + "\"/>\n";
                writeFile(home.path("s.tws"), ("<Events>\n<Version id=\"3\"/>\n" + (sleep < 0 ? element + close : close + element) + "</Events>\n").toUtf8());
                const QString run = runToItsEnd(program, {"-playback", "-noconfig", "-allowcommands", "-output", output, "-script", "s.tws"}, home.path());
                EXPECT_TRUE(run.startsWith(sleep < 0 ? "status 0\n" : "status 255\n")) << run.toStdString();
                EXPECT_EQ(run.contains(left), sleep >= 0) << run.toStdString();
                EXPECT_EQ(QFile::exists(picture) || QFile::exists(ran) || QFileInfo(output).size() > 0, sleep < 0) << "played";
            }
}

// Test mode plays from the remote link as twdemo does, connecting (-host) or listening (-server):
// what the peer's element prints comes back over the link, and the run ends 0 when the peer
// closes. A refused connection, or a peer that closes before it sends anything, is a line and 255.
TEST(ProgramTest, ATestRunPlaysFromTheRemoteLinkOrSaysWhyItCannot)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    const QString early = "The remote link closed before any element arrived; nothing was played\n";
    const struct
    {
        bool server, sends, refuses;
        QString said;   // empty: the run ends 0
    } cases[] = {{false, true, false, {}}, {true, true, false, {}}, {false, false, false, early}, {true, false, false, early},
                 {false, false, true, "Error when connecting to the remote host: Connection refused\n"}};
    for (const bool program : {true, false})
        for (const auto& c : cases) {
            const QString window = program ? "/pName" : "/twdemo";
            SCOPED_TRACE((window + (c.server ? " -server" : " -host") + (c.sends ? " sends" : "") + (c.refuses ? " refused" : "")).toStdString());
            QTcpServer peerListens;
            ASSERT_TRUE(peerListens.listen(QHostAddress::LocalHost));
            const quint16 port = peerListens.serverPort();
            if (c.server || c.refuses)
                peerListens.close();
            QProcess child;
            startRun(child, program, QStringList {"-playback", "-noconfig", "-port", QString::number(port)}
                                         + (c.server ? QStringList {"-server"} : QStringList {"-host", "127.0.0.1"}), home.path());
            QTcpSocket peerConnects;
            QTcpSocket* link = &peerConnects;
            if (c.server)
                ASSERT_TRUE(TestSupport::eventually([&] {
                    peerConnects.connectToHost(QHostAddress::LocalHost, port);
                    return peerConnects.waitForConnected(1000);
                }, std::chrono::minutes(2)));
            else if (!c.refuses && peerListens.waitForNewConnection(120000))
                link = peerListens.nextPendingConnection();
            if (c.sends) {
                link->write(("<PrintProperty name=\"" + window + "\" property=\"objectName\"/>\n -+-*-+-*- \n").toUtf8());
                while (!link->canReadLine() && link->waitForReadyRead(120000)) {
                }
                EXPECT_EQ(QString(link->readLine()).toStdString(), (window + ", objectName: " + window.mid(1) + "\n").toStdString());
            }
            link->disconnectFromHost();
            const QString run = endOfRun(child);
            EXPECT_TRUE(run.startsWith(c.said.isEmpty() ? "status 0\n" : "status 255\n")) << run.toStdString();
            EXPECT_TRUE(run.contains(c.said)) << run.toStdString();
        }
}

// Without a screen to draw on, the program says so and ends, known by what the platform can do;
// so does twdemo without a window system. Neither crashes nor waits.
TEST(ProgramTest, WithoutAUsableDisplayTheProgramSaysSoAndEnds)
{
    AppTest::AppFolder home;
    const QString script = writeFile(home.path("s.tws"), "<Events>\n<Version id=\"3\"/>\n</Events>\n");
    const auto platform = [](const QString& name) { return [name](QProcessEnvironment& e) { e.insert("QT_QPA_PLATFORM", name); }; };
    const auto display = [](const QString& name) {
        return [name](QProcessEnvironment& e) {
            e.remove("WAYLAND_DISPLAY");
            if (name.isEmpty())
                e.remove("DISPLAY");
            else
                e.insert("DISPLAY", name);
        };
    };
    const QString noOpenGL = "; the program's OpenGL views cannot be shown, and it ends";
    // What offscreen and linuxfb lack depends on the machine (an X server gives offscreen OpenGL
    // but no windows that show it; a framebuffer device): only that they lack something is certain.
    const struct
    {
        const char* name;
        QString first;   // the program's first argument ("-test", or the normal mode's "-playback"); empty: twdemo
        std::function<void(QProcessEnvironment&)> adjust;
        int status;
        QString said;
    } cases[] = {
        {"offscreen", "-test", platform("offscreen"), 255, "No usable display: the platform 'offscreen' "},
        {"minimal", "-test", platform("minimal"), 255, "No usable display: the platform 'minimal' gives no OpenGL context" + noOpenGL},
        {"vnc", "-test", platform("vnc"), 255, "No usable display: the platform 'vnc' gives no OpenGL context" + noOpenGL},
        {"vkkhrdisplay", "-test", platform("vkkhrdisplay"), 255, "No usable display: the platform 'vkkhrdisplay' gives no OpenGL context" + noOpenGL},
        {"linuxfb", "-test", platform("linuxfb"), 255, "No usable display: the platform 'linuxfb' "},
        {"vnc, normal mode", "-playback", platform("vnc"), 1, "No usable display: the platform 'vnc' gives no OpenGL context" + noOpenGL},
        {"no DISPLAY", "-test", display({}), 255, "No usable display: the window system could not be reached (DISPLAY is not set)"},
        {"no DISPLAY, normal mode", "-playback", display({}), 1, "No usable display: the window system could not be reached (DISPLAY is not set)"},
        {"twdemo, no DISPLAY", {}, display({}), 255, "No usable display: the window system could not be reached (DISPLAY is not set)"},
        {"twdemo, a dead display", {}, display(":999"), 255, "No usable display: the window system could not be reached (DISPLAY is :999)"},
        {"twdemo, a framebuffer that is not there", {}, platform("linuxfb:fb=/nonexistent"), 255,
         "No usable display: the platform 'linuxfb' has no screen; twdemo ends"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QT_QPA_PLATFORM");
        c.adjust(environment);
        QProcess child;
        child.setProcessEnvironment(environment);
        child.setWorkingDirectory(home.path());
        // "-playback" keeps the normal mode's start from making a log.
        const QStringList options = {"-playback", "-noconfig", "-script", script};
        if (c.first.isEmpty())
            child.start(TWDEMO_PROGRAM, options);
        else
            child.start(AppTest::built + "/Morvanta", QStringList(c.first) + options);
        ASSERT_TRUE(child.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(child.readAllStandardError());
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << errors.toStdString();
        EXPECT_EQ(child.exitCode(), c.status) << errors.toStdString();
        EXPECT_TRUE(errors.contains(c.said)) << errors.toStdString();
    }
}

// The box that tells of an earlier session's picture would take the window that a replay's
// shortcuts need: in a test run its words go to standard error, and the replay plays through.
TEST(ProgramTest, AnEarlierPictureIsToldOnStandardErrorAndAReplayPlaysThrough)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    // Recorded as a person ends a run: Ctrl+W in the window.
    QProcess recording;
    ASSERT_FALSE(startProgram(recording, xServer().display(), home.path(), {"-test", "-record", "-script", "run.tpw"}).isEmpty());
    xdotool(xServer().display(), {"key", "ctrl+w"});
    ASSERT_TRUE(recording.waitForFinished(60000));
    ASSERT_EQ(recording.exitCode(), 0) << recording.readAllStandardError().toStdString();

    ASSERT_TRUE(QDir().mkpath(home.path("Images")));
    const QString picture = writeFile(home.path("Images/earlier.bmp"), "picture of an earlier session");
    const QString run = runToItsEnd(true, {"-playback", "-noconfig", "-script", "run.tpw"}, home.path());
    EXPECT_TRUE(run.startsWith("status 0\n")) << run.toStdString();
    EXPECT_TRUE(run.contains(QRegularExpression("Earlier sessions: [^\n]*" + QRegularExpression::escape(picture)))) << run.toStdString();
    EXPECT_TRUE(QFile::exists(home.path("Images/recovered/earlier.bmp")));
}

// A signal after an import ends the program without the question quitting would ask, and says
// that the imported series was not saved.
TEST(ProgramTest, ASignalAfterAnImportSaysThatTheSeriesWasNotSaved)
{
    if (!xServer().running())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    QProcess program;
    ASSERT_FALSE(startProgram(program, xServer().display(), home.path()).isEmpty());
    QByteArray errors;
    ASSERT_TRUE(AppTest::waitForStartWalk(program, errors)) << errors.toStdString();
    AppTest::openFirstEntry(false);
    // The import's end starts the session's recording.
    const QDir recordings(home.path("patients/MorvantaStudyDummy/System"));
    ASSERT_TRUE(AppTest::waitFor([&] { return !recordings.entryList({"*.log"}, QDir::Files).isEmpty(); }, 120000));
    ::kill(pid_t(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000));
    errors += program.readAllStandardError();
    EXPECT_EQ(program.exitCode(), 128 + SIGTERM);
    EXPECT_TRUE(errors.contains("Ending on signal 15: the imported series was not saved as a planning\n")) << errors.toStdString();
}
