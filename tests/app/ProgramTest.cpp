// The real program under an X server of its own, started in a private application folder:
// pictures of an earlier session are kept and a killed video still decodes. And the event
// boundary through Program::run. (Its full-screen session is the recording tests' one.) How a
// start that cannot go on ends, for the program and twdemo alike.
#include "AppTestSupport.h"

#include <gtest/gtest.h>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using AppTest::startProgram;
using AppTest::xdotool;
using AppTest::xServer;

// Runs the program in test mode (with "-test" first) or twdemo with the options, in the folder on
// the program tests' X server, behind `wrapper`; how it ended and its standard error, waited for
// two minutes at most (a start that hangs is killed then).
QString runToItsEnd(bool program, const QStringList& options, const QString& home, const QStringList& wrapper = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", xServer().display());
    environment.remove("QT_QPA_PLATFORM");
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(home);
    const QStringList command = wrapper + (program ? QStringList{AppTest::built + "/Morvanta", "-test"} : QStringList{TWDEMO_PROGRAM}) + options;
    child.start(command.first(), command.mid(1));
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return "no end\n";
    }
    return (child.exitStatus() == QProcess::NormalExit ? "status " + QString::number(child.exitCode()) : QString("crashed")) + "\n" +
           QString::fromLocal8Bit(child.readAllStandardError());
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
    const struct
    {
        QString file;
        QByteArray text; // written to the file
        QString reason;  // empty: read
    } cases[] = {
        {"good.xml", "<TapewrightConfig compressTime=\"1\"/>", {}},
        {"byte.xml", "<TapewrightConfig compressTime=\"1\" note=\"\xe9t\xe9\"/>", "is not encoded in UTF-8 (it holds the bytes 0xe9 0x74 on line 1)"},
        {"attributes.xml", attributes + "/>", "has an element on line 1 with more than 64 attributes"},
        {"levels.xml", "<TapewrightConfig>" + QByteArray("<a>").repeated(128) + QByteArray("</a>").repeated(128) + "</TapewrightConfig>",
         "nests its elements deeper than 128 levels"},
        {"large.xml", large, "is larger than 1 MiB, the limit for a configuration file"},
        {"doctype.xml", "<!DOCTYPE TapewrightConfig>\n<TapewrightConfig compressTime=\"1\"/>",
         "has a document type declaration on line 1, which a configuration file may not have"},
        {"utf16.xml", "\xff\xfe" + QByteArray(reinterpret_cast<const char*>(utf16.utf16()), utf16.size() * 2),
         "is not encoded in UTF-8 (it holds the byte 0xff on line 1)"},
        {fifo, {}, "is not a regular file"},
        {heldFifo, {}, "is not a regular file"},
        {home.path(), {}, "is not a regular file"},
    };
    for (const bool program : {true, false})
        for (const auto& c : cases) {
            SCOPED_TRACE((program ? "program, " : "twdemo, ") + c.file.toStdString());
            const QString config = c.text.isNull() ? c.file : writeFile(home.path(c.file), c.text);
            const QString run = runToItsEnd(program, {"-configfile", config, "-playback", "-noconfig", "-script", script}, home.path());
            EXPECT_TRUE(run.startsWith(c.reason.isEmpty() ? "status 0\n" : "status 255\n")) << run.toStdString();
            EXPECT_EQ(run.contains("Configuration file '" + config + "' " + c.reason + "; it is not read"), !c.reason.isEmpty()) << run.toStdString();
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
#if !defined(__SANITIZE_ADDRESS__) // it reserves more address space than these limits leave
    // Stacks of 512 MiB: two threads do not fit.
    for (const int mib : {500, 800})
        cases.push_back({{"prlimit", "--stack=" + QString::number(512 << 20), "--as=" + QString::number(qint64(mib) << 20), "--"}, large});
    // The GL driver's eight drawing threads run short of address space as it sets up, and it
    // crashes soon after one it could not start.
    cases.push_back({{"env", "LP_NUM_THREADS=8", "prlimit", "--as=" + QString::number(600 << 20), "--"}, large, true});
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
