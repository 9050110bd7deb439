#include "TapewrightTestSupport.h"

#include "DemoWindow.h"
#include "common/TestSupport.h"
#include "tapewright/ChildListener.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>
#include <cstring>
#include <iostream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// A state dump or the widget rectangles of twdemo.
QJsonObject readDump(const QString& fileName)
{
    QFile file(fileName);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << fileName.toStdString();
    return QJsonDocument::fromJson(file.readAll()).object();
}

QJsonObject runTwdemo(const QStringList& arguments, const QString& output,
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(TWDEMO_PROGRAM, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    return readDump(output);
}

}

TEST(Twdemo, FreshProcessesAtOtherFontsAndSizesReportTheSamePaths)
{
    TestSupport::ScratchDir dir;
    QList<QSet<QString>> pathSets;
    for (const auto& [font, size] : {std::pair {"9", QSize(800, 600)}, std::pair {"14", QSize(1024, 768)}}) {
        const QString file = dir.qpath() + QStringLiteral("/rects%1.json").arg(font);
        const QJsonObject rects = runTwdemo({"--font", font, "--size", QStringLiteral("%1x%2").arg(size.width()).arg(size.height()),
                                             "--widget-rects", file, "--drive", "quit"}, file);
        ASSERT_EQ(rects.size(), DemoWindow::widgetNames().size() + 1);
        const QJsonArray window = rects["twdemo"].toObject()["rect"].toArray();
        EXPECT_EQ(QSize(window[2].toInt(), window[3].toInt()), size);
        QSet<QString> paths;
        for (const QJsonValue& entry : rects) {
            const QJsonArray rect = entry.toObject()["rect"].toArray();
            EXPECT_GT(rect[2].toInt(), 0);
            EXPECT_LE(rect[0].toInt() + rect[2].toInt(), window[0].toInt() + size.width());
            paths.insert(entry.toObject()["path"].toString());
        }
        EXPECT_EQ(paths.size(), rects.size()) << "unique";
        pathSets << paths;
    }
    EXPECT_EQ(pathSets[0], pathSets[1]);
    EXPECT_TRUE(pathSets[0].contains("/twdemo/central/tree"));
}

TEST(Twdemo, EveryPathInTheWindowFindsItsWidget)
{
    DemoWindow window;
    window.resize(800, 600);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.grab().save(QStringLiteral(MORVANTA_BINARY_DIR "/tests/tapewright/twdemo.png"));
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets << &window;
    QSet<QString> paths;
    for (QWidget* widget : widgets) {
        const QString path = ChildListener::instance()->childName(widget);
        ASSERT_FALSE(path.isEmpty());
        paths.insert(path);
        EXPECT_EQ(ChildListener::instance()->findChild(path), widget) << path.toStdString();
    }
    EXPECT_EQ(paths.size(), widgets.size());
}

TEST(Twdemo, SessionScenarioReachesItsState)
{
    TestSupport::ScratchDir dir;
    TestSupport::PrivateXServer display;
    const QString file = dir.qpath() + "/state.json";
    const QJsonObject state = runTwdemo({"--drive", "session", "--dump-state", file}, file, display.environment());
    EXPECT_EQ(state["edit"].toObject()["text"], "Hello, twdemo");
    EXPECT_EQ(state["check"].toObject()["checked"], true);
    EXPECT_EQ(state["combo"].toObject()["text"], "gamma");
    EXPECT_EQ(state["mark"].toObject()["triggered"], 1);
    EXPECT_EQ(state["save"].toObject()["triggered"], 2);
    EXPECT_EQ(state["dialog"].toObject(),
              QJsonObject({{"accepts", 1}, {"rejects", 1}, {"lastText", "in the dialog"}}));
    EXPECT_EQ(state["list"].toObject()["selected"], QJsonArray {"entry 2"});
}

TEST(Twdemo, ASessionRecordedInOneProcessReplaysInAFreshOneToTheSameState)
{
    TestSupport::ScratchDir dir;
    TestSupport::PrivateXServer display;
    const QString script = dir.qpath() + "/session.tws";
    const QJsonObject recorded = runTwdemo({"-record", "-script", script, "--drive", "session", "--dump-state",
                                            dir.qpath() + "/a.json"}, dir.qpath() + "/a.json", display.environment());
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--dump-state", dir.qpath() + "/b.json"},
                                           dir.qpath() + "/b.json", display.environment());
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 2);
    EXPECT_EQ(recorded["mark"].toObject()["triggered"], 1);
    EXPECT_EQ(replayed, recorded);

    QProcess python;
    python.start("/usr/bin/python3", {"-c", "import sys, xml.etree.ElementTree as E\n"
                                            "r = E.parse(sys.argv[1]).getroot()\n"
                                            "print(r.tag, r[0].tag, r[0].get('id'), r[0].get('sleep'), len(r))",
                                      script});
    ASSERT_TRUE(python.waitForFinished(30000));
    const QStringList fields = QString(python.readAllStandardOutput()).split(' ');
    ASSERT_EQ(fields.size(), 5) << python.readAllStandardError().toStdString();
    EXPECT_EQ(fields.mid(0, 4), QStringList({"Events", "Version", "3", "0"}));
    EXPECT_GT(fields[4].toInt(), 50);
}

// A run that reported an error did not do all its script asked: it never ends as a success.
TEST(Twdemo, AScriptThatCannotBeReadOrIsPlayedOnlyInPartEndsTheRunWithAnErrorStatus)
{
    TestSupport::ScratchDir dir;
    const auto write = [&](const QString& name, const QByteArray& text) {
        QFile file(dir.qpath() + "/" + name);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return file.fileName();
    };
    const auto run = [](const QString& script, int status, const QString& message) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(TWDEMO_PROGRAM, {"-playback", "-script", script});
        // Only a hang fails here: under the sanitizers on a loaded machine the start alone may
        // take many seconds.
        ASSERT_TRUE(process.waitForFinished(120000)) << "twdemo's end with " << script.toStdString();
        const QString errors = process.readAllStandardError();
        EXPECT_EQ(process.exitCode(), status) << errors.toStdString();
        EXPECT_TRUE(errors.contains(message)) << errors.toStdString();
    };
    run(write("damaged.tws", "<Events><KeyPress name=\"/twdemo/central/edit\" key=\"A\"<</Events>"), 255, "Error reading file");
    run(write("cut.tws", "<Events>\n    <Version id=\"3\"/>\n    <KeyPress name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n    <KeyRe"), 255,
        "ends without '</Events>'");
    run(write("deep.tws", "<Events>" + QByteArray("<a>").repeated(200000) + QByteArray("</a>").repeated(200000) + "</Events>"), 255,
        "nests its elements deeper than 128 levels");
    run(write("self.tws", "<Events><Include file=\"" + dir.qpath().toUtf8() + "/self.tws\"/></Events>"), 255, "would include itself");
    // Attribute defaults that would take the reader long are refused before it reads them.
    QByteArray defaults;
    for (int i = 0; i < 100000; ++i)
        defaults += " d" + QByteArray::number(i) + " CDATA 'x'";
    run(write("defaults.tws", "<!DOCTYPE Events [<!ATTLIST KeyPress" + defaults + ">]>\n<Events><KeyPress name='/twdemo/central/edit' key='A'/></Events>"),
        255, "defaults.tws' has a document type declaration on line 1, which a script may not have; it is not read");
    // A script too large names the limit; an element without a name names itself.
    QFile big(dir.qpath() + "/big.tws");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(300 * 1024 * 1024));
    big.close();
    run(big.fileName(), 255, "is larger than 256 MiB, the limit for a script; it is not read");
    run(write("unnamed.tws", "<Events>\n<Version id=\"3\"/>\n<KeyPress key=\"A\" text=\"a\"/>\n</Events>"), 255,
        "Unable to find widget for the element 'KeyPress' on line 3 of '");
    run(write("colons.tws", "<Events><Version id=\"3\"/><QSlider::setValue name=\"/twdemo/central/slider\" value=\"5\"/></Events>"), 255,
        "Adapter elements are written 'Class..operation', not 'Class::operation'");
    // A script that is there but cannot be read says why; only a name that leads nowhere "doesn't exist".
    const QString fifo = dir.qpath() + "/fifo.tws", loop = dir.qpath() + "/loop.tws";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(loop, loop));
    run(fifo, 255, "Couldn't open file '" + fifo + "': it is a FIFO, not a regular file");
    run(dir.qpath(), 255, "Couldn't open file '" + dir.qpath() + "': it is a folder, not a regular file");
    run("/dev/zero", 255, "Couldn't open file '/dev/zero': it is a device, not a regular file");
    run(loop, 255, "Couldn't open file '" + loop + "': Too many levels of symbolic links");
    run(dir.qpath() + "/none.tws", 255, "File '" + dir.qpath() + "/none.tws' doesn't exist");
    const QString bogus = write("bogus.tws", "<Events>\n<Version id=\"3\"/>\n<bogus name=\"/twdemo/central/edit\"/>\n</Events>");
    run(bogus, 255, "Unknown tag: bogus (the element 'bogus' on line 3 of '" + bogus + "')");
    write("level8.tws", "<Events><Sleep msec=\"0\"/></Events>");
    for (int level = 7; level >= 0; --level)
        write(QString("level%1.tws").arg(level),
              "<Events>" + QString("<Include file=\"%1/level%2.tws\"/>").arg(dir.qpath()).arg(level + 1).repeated(10).toUtf8() + "</Events>");
    run(dir.qpath() + "/level0.tws", 255, "The script includes more than 10000 files");
    run(write("far.tws", "<Events><Version id=\"3\"/><QListView..scrollTo name=\"/twdemo/central/tree\" index=\"99999\"/></Events>"), 255,
        "List view item with index 99999, was not found");
}

namespace {

struct DemoRun
{
    int status = -1;
    bool crashed = false;
    QString errors;
};

// Runs twdemo (through `wrapper` when given) on Qt's offscreen platform, or on the X server of
// the environment.
DemoRun runDemo(const QStringList& wrapper, const QStringList& arguments, const QProcessEnvironment& extra = {}, bool offscreen = true)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (offscreen)
        environment.insert("QT_QPA_PLATFORM", "offscreen");
    for (const QString& key : extra.keys())
        environment.insert(key, extra.value(key));
    QProcess process;
    process.setProcessEnvironment(environment);
    const QStringList command = wrapper + QStringList {TWDEMO_PROGRAM} + arguments;
    process.start(command.first(), command.mid(1));
    EXPECT_TRUE(process.waitForFinished(60000)) << command.join(' ').toStdString();
    return {process.exitCode(), process.exitStatus() != QProcess::NormalExit, QString::fromLocal8Bit(process.readAllStandardError())};
}

QString writeScript(const TestSupport::ScratchDir& dir, const QString& name, const QByteArray& text)
{
    QFile file(dir.qpath() + "/" + name);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
    return file.fileName();
}

const QByteArray typeA = "<Events>\n<Version id=\"3\"/>\n<KeyPress name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n"
                         "<KeyRelease name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n</Events>\n";

}

TEST(Twdemo, ARefusedConfigurationFileIsNamedAndTheRunGoesOnWithoutIt)
{
    TestSupport::ScratchDir dir;
    QByteArray attributes = "<TapewrightConfig compressTime=\"1\"";
    for (int i = 0; i < 100000; ++i)
        attributes += " x" + QByteArray::number(i) + "=''";
    const QString config = writeScript(dir, "attributes.twc", attributes + "/>");
    const DemoRun run = runDemo({}, {"-configfile", config, "-playback", "-script", writeScript(dir, "a.tws", typeA), "--dump-state",
                                 dir.qpath() + "/state.json"});
    EXPECT_EQ(run.status, 255) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("Configuration file '" + config + "' has an element on line 1 with more than 64 attributes; it is not read"))
        << run.errors.toStdString();
    EXPECT_EQ(readDump(dir.qpath() + "/state.json")["edit"].toObject()["text"], "a");
}

// A window that the recording did not have in front (here the dialog its button opens, where the
// recording went on typing into the main window) is never waited for without end, and nothing is
// played behind it: the run stops at the first element it holds back, and counts what it left.
TEST(Twdemo, AModalWindowTheRecordingDidNotHaveInFrontIsReportedWithinTheCreationTimeOut)
{
    TestSupport::ScratchDir dir;
    const QString config = writeScript(dir, "wait.twc", "<TapewrightConfig creationTimeOut=\"500\"/>");
    const QString script = writeScript(dir, "modal.tws", "<Events>\n<Version id=\"3\"/>\n"
                                                        "<KeyPress name=\"/twdemo/central/openDialog\" key=\"Space\" text=\" \"/>\n"
                                                        "<KeyRelease name=\"/twdemo/central/openDialog\" key=\"Space\" text=\" \"/>\n"
                                                        + QByteArray("<KeyPress name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n"
                                                                     "<KeyRelease name=\"/twdemo/central/edit\" key=\"A\" text=\"a\"/>\n")
                                                              .repeated(3)
                                                        + "</Events>\n");
    QElapsedTimer clock;
    clock.start();
    const DemoRun run = runDemo({}, {"-configfile", config, "-playback", "-script", script, "--dump-state", dir.qpath() + "/state.json"});
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_EQ(run.status, 255) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("The element 'KeyPress' on line 5 of '" + script + "' was not played: the modal window /twdemo/dialog "
                                    "(\"dialog\"), which the recording did not have in front of /twdemo at this point, did not close within 500 ms"))
        << run.errors.toStdString();
    EXPECT_EQ(run.errors.count("was not played: the modal window"), 1) << run.errors.toStdString();
    EXPECT_TRUE(run.errors.contains("Playback ended before its script did: 6 input elements (presses, releases, keys, values set, wheel turns) "
                                    "were not played, from line 5 of '" + script + "' on"))
        << run.errors.toStdString();
    EXPECT_EQ(readDump(dir.qpath() + "/state.json")["edit"].toObject()["text"], "");
}

// What the player and the recorder write never goes into, nor in place of, what is no regular
// file or what its user may not write: a screen dump, the output and the recording's script onto
// a FIFO, a device, a folder, a link to a FIFO or to nothing, a file of mode 444 and one of
// another's (written as `nobody` in its own folder, where the test runs as root) are refused at
// once, named with why, and the node stays as it was, the link's target not made. A link to a
// regular file is written through; a file the user may write keeps its mode and owner.
TEST(Twdemo, NothingIsWrittenIntoOrInPlaceOfWhatIsNoRegularFile)
{
    TestSupport::ScratchDir dir;
    const QString played = writeScript(dir, "a.tws", typeA);
    const bool root = ::geteuid() == 0;
    ASSERT_TRUE(!root || ::chown(QFile::encodeName(dir.qpath()), 65534, 65534) == 0);
    // A file of a few bytes and the mode, nobody's when `nobodys` and the test runs as root.
    const auto file = [root](const QByteArray& at, mode_t mode, bool nobodys) {
        QFile made(at);
        return made.open(QIODevice::WriteOnly) && made.write("kept") == 4 && ::chmod(at, mode) == 0
                       && (!root || !nobodys || ::chown(at, 65534, 65534) == 0) ? 0 : -1;
    };
    const struct
    {
        const char* name;
        const char* why; // null: written
        std::function<int(const QByteArray&)> make;
        bool asNobody = false;
    } nodes[] = {
        {"fifo.png", "it is a FIFO, not a regular file", [](const QByteArray& at) { return ::mkfifo(at, 0600); }},
        // Of the kind of /dev/null, in a folder of the test's own: only root may make it.
        {"device.png", "it is a device, not a regular file", [](const QByteArray& at) { return ::mknod(at, S_IFCHR | 0600, makedev(1, 3)); }},
        {"folder.png", "it is a folder, not a regular file", [](const QByteArray& at) { return ::mkdir(at, 0700); }},
        {"fifolink.png", "it is a FIFO, not a regular file",
         [](const QByteArray& at) { return ::mkfifo(at + ".fifo", 0600) == 0 ? ::symlink(at + ".fifo", at) : -1; }},
        {"filelink.png", nullptr, [](const QByteArray& at) { return QFile(at + ".file").open(QIODevice::WriteOnly) ? ::symlink(at + ".file", at) : -1; }},
        {"dangling.png", "it is a link to nothing, not a regular file", [](const QByteArray& at) { return ::symlink(at + ".nowhere", at); }},
        {"readonly.png", "Permission denied", [&](const QByteArray& at) { return file(at, 0444, true); }, true},
        {"roots.png", "Permission denied", [&](const QByteArray& at) { return root ? file(at, 0644, false) : (errno = EPERM, -1); }, true},
        {"own.png", nullptr, [&](const QByteArray& at) { return file(at, 0640, true); }, true},
    };
    const QStringList nobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    for (const auto& node : nodes) {
        SCOPED_TRACE(node.name);
        const QString path = dir.qpath() + "/" + node.name;
        const QByteArray local = QFile::encodeName(path);
        if (node.make(local) != 0) {
            std::cout << "[ NOTE     ] " << node.name << " not tried: " << std::strerror(errno) << '\n';
            continue;
        }
        // What a run may not change: the node (a link not followed), and, where it is refused, its
        // contents and what a link leads to.
        const auto seen = [&](bool whole) {
            struct stat status {};
            EXPECT_EQ(::lstat(local, &status), 0);
            const QFileInfo info(path);
            QFile contents(path);
            const QString kept = QStringLiteral("mode %1 owner %2").arg(status.st_mode, 0, 8).arg(status.st_uid);
            return whole ? kept + QStringLiteral(" node %1 %2 to '%3' %4 '%5'").arg(status.st_ino).arg(status.st_rdev).arg(info.symLinkTarget())
                                     .arg(int(info.exists())).arg(info.isFile() && contents.open(QIODevice::ReadOnly) ? QString(contents.readAll()) : "")
                         : kept;
        };
        const QString before = seen(node.why);
        const QString dump = writeScript(dir, "dump.tws", "<Events><ScreenDump name=\"/twdemo/central/tree\" fileName=\"" + local + "\"/></Events>");
        const QString why = node.why ? QString(": ") + node.why : QString();
        for (const auto& [arguments, said] : {std::pair {QStringList {"-playback", "-script", dump}, "Could not write the screen dump '" + path + "'"},
                                              std::pair {QStringList {"-playback", "-script", played, "-output", path}, "Could not open file '" + path + "'"},
                                              std::pair {QStringList {"-record", "-script", path, "--drive", "quit"}, "Could not open file " + path + " for writing"}}) {
            const DemoRun run = runDemo(node.asNobody && root ? nobody : QStringList(), arguments);
            EXPECT_EQ(run.status, node.why ? 255 : 0) << run.errors.toStdString();
            EXPECT_EQ(run.errors.contains(said + why), node.why != nullptr) << run.errors.toStdString();
        }
        EXPECT_EQ(seen(node.why).toStdString(), before.toStdString());
    }
}

TEST(Twdemo, MemoryThatRunsOutWhileAStepIsBuiltEndsTheRunWithAMessage)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
#endif
    if (QStandardPaths::findExecutable("prlimit").isEmpty())
        GTEST_SKIP() << "needs prlimit";
    TestSupport::ScratchDir dir;
    // One step of 249,000 children (1 MB, within every bound of the reading), built whole as it
    // is played: some 70 MB.
    const QString wide = writeScript(dir, "wide.tws", "<Events>\n<Version id=\"3\"/>\n<Version id=\"4\">" + QByteArray("<c/>").repeated(249000)
                                                          + "</Version>\n</Events>\n");
    // Every thread holds its stack and, past the first, a malloc arena of 64 MiB of address
    // space: both are kept small, so that the limit is about what the program holds. Without
    // the window system no thread reads its events.
    QProcessEnvironment small;
    small.insert("MALLOC_ARENA_MAX", "1");
    const QStringList limit = {"prlimit", "--as=" + QString::number(125 * 1024 * 1024), "--stack=" + QString::number(1024 * 1024), "--"};
    const DemoRun tooLarge = runDemo(limit, {"-playback", "-script", wide}, small);
    EXPECT_FALSE(tooLarge.crashed);
    EXPECT_EQ(tooLarge.status, 255) << tooLarge.errors.toStdString();
    EXPECT_TRUE(tooLarge.errors.contains("The element on line 3 of '" + wide + "' could not be built: there is not enough memory; playback ends"))
        << tooLarge.errors.toStdString();
    // A script that fits plays under the same limit; the large one without it.
    const DemoRun fits = runDemo(limit, {"-playback", "-script", writeScript(dir, "a.tws", typeA), "--dump-state", dir.qpath() + "/state.json"},
                             small);
    EXPECT_EQ(fits.status, 0) << fits.errors.toStdString();
    EXPECT_EQ(readDump(dir.qpath() + "/state.json")["edit"].toObject()["text"], "a");
    EXPECT_EQ(runDemo({}, {"-playback", "-script", wide}).status, 0);
}

TEST(Twdemo, AThreadThatCannotStartEndsTheRunWithAMessage)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer needs a thread of its own";
#endif
    TestSupport::ScratchDir dir;
    const QStringList threadless = {THREADLESS_PROGRAM};
    // The application object's reader of the window system's events.
    const DemoRun onX = runDemo(threadless, {"-playback", "-script", writeScript(dir, "a.tws", typeA)}, {}, false);
    if (onX.status == 77)
        GTEST_SKIP() << onX.errors.toStdString();
    EXPECT_FALSE(onX.crashed);
    EXPECT_EQ(onX.status, 255);
    EXPECT_TRUE(onX.errors.contains("A thread could not be started (Resource temporarily unavailable); the program cannot go on without it and ends"))
        << onX.errors.toStdString();
    // The thread that reads a large script while the windows go on painting.
    const QString large = writeScript(dir, "large.tws", "<Events>\n" + QByteArray("<Sleep msec=\"0\"/>\n").repeated(300000) + "</Events>\n");
    const DemoRun reading = runDemo(threadless, {"-playback", "-script", large});
    EXPECT_FALSE(reading.crashed);
    EXPECT_EQ(reading.status, 255);
    EXPECT_TRUE(reading.errors.contains("File '" + large + "' could not be read: no thread could be started to read it (Resource temporarily "
                                        "unavailable); none of it is read"))
        << reading.errors.toStdString();
}

namespace {

// Runs a command line tool; its standard output.
QString tool(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(30000)) << program.toStdString();
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError()).trimmed();
}

// Starts twdemo, by default away from the screen's corner (where other test programs put their
// windows), and waits until it reports its widget rectangles.
QJsonObject startTwdemo(QProcess& process, QStringList arguments, const QString& rectsFile,
                        const QProcessEnvironment& environment, const QString& geometry = "800x600+1100+450")
{
    arguments << "-geometry" << geometry << "--widget-rects" << rectsFile;
    process.setProcessEnvironment(environment);
    process.start(TWDEMO_PROGRAM, arguments);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(rectsFile).size() > 0; }, 20000));
    return readDump(rectsFile);
}

QPoint centre(const QJsonObject& rects, const char* name)
{
    const QJsonArray r = rects[name].toObject()["rect"].toArray();
    return QPoint(r[0].toInt() + r[2].toInt() / 2, r[1].toInt() + r[3].toInt() / 2);
}

// twdemo on an X server of the test's own, driven by real X input.
class TwdemoOnX : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!display.running() || QStandardPaths::findExecutable("xdotool").isEmpty()
            || QStandardPaths::findExecutable("import").isEmpty())
            GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
    }
    QJsonObject start(QProcess& process, const QStringList& arguments, const QString& geometry = "800x600+1100+450")
    {
        return startTwdemo(process, arguments, dir.qpath() + "/rects" + QString::number(++started) + ".json", env, geometry);
    }
    QString xdotool(const QStringList& arguments) { return tool("xdotool", arguments, env); }
    void click(QPoint at) { xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()), "click", "1"}); }

    TestSupport::PrivateXServer display;
    const QProcessEnvironment env = display.environment();
    TestSupport::ScratchDir dir;
    int started = 0;
};

}

TEST_F(TwdemoOnX, ASessionDrivenThroughTheXServerReplaysToTheSameState)
{
    const QString script = dir.qpath() + "/xdo.tws";
    QProcess recording;
    const QJsonObject rects = start(recording, {"-record", "-script", script, "--dump-state", dir.qpath() + "/a.json"});
    click(centre(rects, "edit"));
    xdotool({"type", "--delay", "20", "xdo Typed"});
    click(centre(rects, "check"));
    click(centre(rects, "combo"));
    QTest::qWait(300);
    xdotool({"key", "Down", "Return"});
    click(centre(rects, "edit"));
    xdotool({"key", "ctrl+s", "ctrl+q"});
    ASSERT_TRUE(recording.waitForFinished(20000));
    const QJsonObject recorded = readDump(dir.qpath() + "/a.json");
    EXPECT_EQ(recorded["edit"].toObject()["text"], "xdo Typed");
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 1);
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--dump-state", dir.qpath() + "/b.json"},
                                           dir.qpath() + "/b.json", env);
    EXPECT_EQ(replayed, recorded);
}

TEST_F(TwdemoOnX, APlayedScreenDumpEqualsTheScreen)
{
    xdotool({"mousemove", "--sync", "1000", "100"});
    const QString dump = dir.qpath() + "/tree.png";
    const QString script = dir.qpath() + "/dump.tws";
    QFile out(script);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QString("<Events><Version id=\"3\"/><ScreenDump name=\"/twdemo/central/tree\" fileName=\"%1\" sleep=\"300\"/>"
                      "<Sleep msec=\"4000\"/><Close name=\"/twdemo\"/></Events>").arg(dump).toUtf8());
    out.close();
    QProcess playing;
    const QJsonObject rects = start(playing, {"-playback", "-script", script});
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(dump).size() > 0; }, 20000));
    // The screen shows the same once the window's picture has reached it.
    const QString screen = dir.qpath() + "/screen.png";
    const QJsonArray r = rects["tree"].toObject()["rect"].toArray();
    const QString crop = dir.qpath() + "/crop.png";
    QString differing;
    const bool equal = QTest::qWaitFor([&] {
        tool("import", {"-window", "root", screen}, env);
        tool("convert", {screen, "-crop", QString("%1x%2+%3+%4").arg(r[2].toInt()).arg(r[3].toInt()).arg(r[0].toInt()).arg(r[1].toInt()),
                         "+repage", crop}, env);
        differing = tool("compare", {"-metric", "AE", dump, crop, "null:"}, env);
        return differing == "0";
    }, 20000);
    EXPECT_TRUE(equal) << differing.toStdString() << " pixels differ";
    ASSERT_TRUE(playing.waitForFinished(20000));
}

TEST(Twdemo, AdapterInputRecordedAtOneFontAndSizeReplaysAtAnotherToTheSameState)
{
    TestSupport::ScratchDir dir;
    TestSupport::PrivateXServer display;
    const QString script = dir.qpath() + "/adapters.tws";
    const QJsonObject recorded = runTwdemo({"-record", "-script", script, "--font", "9", "--size", "800x600", "--drive",
                                            "adapters", "--dump-state", dir.qpath() + "/a.json"},
                                           dir.qpath() + "/a.json", display.environment());
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--font", "14", "--size", "1024x768",
                                            "--dump-state", dir.qpath() + "/b.json"},
                                           dir.qpath() + "/b.json", display.environment());
    // What the scenario did, so that an equal pair of untouched states cannot pass.
    EXPECT_EQ(recorded["slider"].toObject()["value"], 60);
    EXPECT_EQ(recorded["spin"].toObject()["value"], 3);
    EXPECT_EQ(recorded["tabs"].toObject()["index"], 2);
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 1);
    EXPECT_EQ(recorded["combo"].toObject()["text"], "gamma");
    EXPECT_EQ(recorded["tree"].toObject()["expanded"].toArray().size(), 1);
    EXPECT_EQ(recorded["list"].toObject()["selected"].toArray().size(), 2);
    EXPECT_NE(recorded["table"].toObject()["topRow"], 0);
    EXPECT_NE(recorded["tree"].toObject()["topRow"], "group 0");
    EXPECT_NE(recorded["list"].toObject()["topRow"], "entry 0");
    EXPECT_EQ(QJsonDocument(replayed).toJson(QJsonDocument::Compact).toStdString(),
              QJsonDocument(recorded).toJson(QJsonDocument::Compact).toStdString());

    // Adapter elements are XML that other readers accept too.
    QProcess python;
    python.start("/usr/bin/python3", {"-c", "import sys, xml.etree.ElementTree as E\n"
                                            "print(sorted({e.tag for e in E.parse(sys.argv[1]).getroot() if '..' in e.tag}))",
                                      script});
    ASSERT_TRUE(python.waitForFinished(30000));
    const QString tags = python.readAllStandardOutput();
    for (const char* tag : {"QSlider..setValue", "QDial..setValue", "QSpinBox..setValue", "QTimeEdit..setValue",
                            "QDateEdit..setValue", "QTabBar..mouseEvent", "QPopupMenu..mouseEvent", "QListView..mouseEvent",
                            "QListView..ensureSelected", "QListBox..mouseEvent", "QScrollBar..scrollTo",
                            "QListView..scrollTo", "QListBox..scrollTo", "QTable..scrollTo"})
        EXPECT_TRUE(tags.contains(tag)) << tag << " in " << tags.toStdString();
}

TEST_F(TwdemoOnX, AdapterInputThroughTheXServerReplaysAtAnotherFont)
{
    const QString script = dir.qpath() + "/xdo-adapters.tws";
    QProcess recording;
    const QJsonObject rects = start(recording, {"-record", "-script", script, "--font", "9", "--dump-state", dir.qpath() + "/a.json"});
    auto rect = [&](const char* name) {
        const QJsonArray r = rects[name].toObject()["rect"].toArray();
        return QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt());
    };
    auto xdo = [&](const QStringList& arguments) {
        xdotool(arguments);
        QTest::qWait(150);
    };
    auto at = [](QPoint p) { return QStringList {"mousemove", "--sync", QString::number(p.x()), QString::number(p.y())}; };
    auto clickAt = [&](QPoint p) {
        click(p);
        QTest::qWait(150);
    };
    const QRect slider = rect("slider");
    xdo(at(slider.topLeft() + QPoint(slider.width() / 10, slider.height() / 2)) << "mousedown" << "1");
    for (int i = 2; i <= 6; ++i)
        xdo(at(slider.topLeft() + QPoint(slider.width() * i / 10, slider.height() / 2)));
    xdo({"mouseup", "1"});
    clickAt(rect("tabs").topLeft() + QPoint(60, 10));
    clickAt(rect("tree").topLeft() + QPoint(40, 45));
    clickAt(rect("list").topLeft() + QPoint(20, 40));
    clickAt(rect("combo").center());
    clickAt(rect("combo").center() + QPoint(0, 2 * rect("combo").height()));
    clickAt(rect("table").bottomRight() - QPoint(6, 40));
    clickAt(rect("edit").center());
    xdo({"key", "ctrl+q"});
    ASSERT_TRUE(recording.state() == QProcess::NotRunning || recording.waitForFinished(20000));
    const QJsonObject recorded = readDump(dir.qpath() + "/a.json");
    EXPECT_NE(recorded["slider"].toObject()["value"], 10);
    EXPECT_NE(recorded["table"].toObject()["topRow"], 0);
    EXPECT_EQ(recorded["list"].toObject()["selected"].toArray().size(), 1);
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--font", "14", "--dump-state",
                                            dir.qpath() + "/b.json"}, dir.qpath() + "/b.json", env);
    EXPECT_EQ(QJsonDocument(replayed).toJson(QJsonDocument::Compact).toStdString(),
              QJsonDocument(recorded).toJson(QJsonDocument::Compact).toStdString());
}

TEST_F(TwdemoOnX, ShortcutsRecordedThroughTheXServerReplayOrAreReportedWhileAnotherWindowKeepsTheActivation)
{
    const QString script = dir.qpath() + "/shortcuts.tws";
    QProcess recording;
    click(centre(start(recording, {"-record", "-script", script, "--dump-state", dir.qpath() + "/a.json"}), "edit"));
    for (const char* key : {"ctrl+s", "ctrl+s", "ctrl+q"}) {
        QTest::qWait(150);
        xdotool({"key", key});
    }
    ASSERT_TRUE(recording.waitForFinished(20000));
    const QJsonObject recorded = readDump(dir.qpath() + "/a.json");
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 2);
    EXPECT_EQ(runTwdemo({"-playback", "-script", script, "--dump-state", dir.qpath() + "/b.json"}, dir.qpath() + "/b.json", env),
              recorded);

    // Another window that takes the activation again and again, as a window system's focus
    // request does (it wins over the player's older request).
    QProcess other;
    ASSERT_FALSE(start(other, {}, "300x200+0+0").isEmpty());
    const QString window = xdotool({"search", "--pid", QString::number(other.processId())}).split('\n').last();
    QProcess thief;
    thief.setProcessEnvironment(env);
    thief.start("/bin/sh", {"-c", "while :; do xdotool windowfocus " + window + "; sleep 0.01; done"});
    QFile config(dir.qpath() + "/short.twc");
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write("<TapewrightConfig creationTimeOut=\"1000\"/>");
    config.close();
    QProcess replay;
    replay.setProcessEnvironment(env);
    replay.start(TWDEMO_PROGRAM, {"-configfile", config.fileName(), "-playback", "-script", script, "-geometry", "800x600+1100+450",
                                  "--dump-state", dir.qpath() + "/c.json"});
    EXPECT_TRUE(replay.waitForFinished(60000));
    thief.kill();
    other.kill();
    thief.waitForFinished();
    other.waitForFinished();
    const QString errors = replay.readAllStandardError();
    EXPECT_EQ(replay.exitCode(), 255) << errors.toStdString();
    EXPECT_EQ(errors.count("The shortcut Ctrl+S was not played: its window /twdemo (\"twdemo\") did not become active within 1000 ms"), 2)
        << errors.toStdString();
    EXPECT_EQ(readDump(dir.qpath() + "/c.json")["save"].toObject()["triggered"], 0);
}
