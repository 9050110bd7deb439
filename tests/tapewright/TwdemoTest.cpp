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
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>

namespace {

QJsonObject runTwdemo(const QStringList& arguments, const QString& output,
                      const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(TWDEMO_PROGRAM, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << process.readAllStandardError().toStdString();
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    QFile file(output);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << output.toStdString();
    return QJsonDocument::fromJson(file.readAll()).object();
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
    const auto run = [](const QString& script, int status, const char* message) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(TWDEMO_PROGRAM, {"-playback", "-script", script});
        ASSERT_TRUE(process.waitForFinished(10000)) << "twdemo's end with " << script.toStdString();
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
    run(write("colons.tws", "<Events><Version id=\"3\"/><QSlider::setValue name=\"/twdemo/central/slider\" value=\"5\"/></Events>"), 255,
        "Adapter elements are written 'Class..operation', not 'Class::operation'");
    write("level8.tws", "<Events><Sleep msec=\"0\"/></Events>");
    for (int level = 7; level >= 0; --level)
        write(QString("level%1.tws").arg(level),
              "<Events>" + QString("<Include file=\"%1/level%2.tws\"/>").arg(dir.qpath()).arg(level + 1).repeated(10).toUtf8() + "</Events>");
    run(dir.qpath() + "/level0.tws", 255, "The script includes more than 10000 files");
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

// Starts twdemo away from the screen's corner (where other test programs put their windows)
// and waits until it reports its widget rectangles.
QJsonObject startTwdemo(QProcess& process, QStringList arguments, const QString& rectsFile,
                        const QProcessEnvironment& environment)
{
    arguments << "-geometry" << "800x600+1100+450" << "--widget-rects" << rectsFile;
    process.setProcessEnvironment(environment);
    process.start(TWDEMO_PROGRAM, arguments);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(rectsFile).size() > 0; }, 20000));
    QFile file(rectsFile);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

QPoint centre(const QJsonObject& rects, const char* name)
{
    const QJsonArray r = rects[name].toObject()["rect"].toArray();
    return QPoint(r[0].toInt() + r[2].toInt() / 2, r[1].toInt() + r[3].toInt() / 2);
}

bool hasXTools(const TestSupport::PrivateXServer& display)
{
    return display.running() && !QStandardPaths::findExecutable("xdotool").isEmpty()
           && !QStandardPaths::findExecutable("import").isEmpty();
}

}

TEST(Twdemo, ASessionDrivenThroughTheXServerReplaysToTheSameState)
{
    TestSupport::PrivateXServer display;
    if (!hasXTools(display))
        GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
    const QProcessEnvironment env = display.environment();
    TestSupport::ScratchDir dir;
    const QString script = dir.qpath() + "/xdo.tws";
    QProcess recording;
    const QJsonObject rects = startTwdemo(recording, {"-record", "-script", script, "--dump-state", dir.qpath() + "/a.json"},
                                          dir.qpath() + "/rects.json", env);
    auto click = [&](const char* name) {
        const QPoint at = centre(rects, name);
        tool("xdotool", {"mousemove", "--sync", QString::number(at.x()), QString::number(at.y()), "click", "1"}, env);
    };
    click("edit");
    tool("xdotool", {"type", "--delay", "20", "xdo Typed"}, env);
    click("check");
    click("combo");
    QTest::qWait(300);
    tool("xdotool", {"key", "Down", "Return"}, env);
    click("edit");
    tool("xdotool", {"key", "ctrl+s", "ctrl+q"}, env);
    ASSERT_TRUE(recording.waitForFinished(20000));
    QFile dumpA(dir.qpath() + "/a.json");
    ASSERT_TRUE(dumpA.open(QIODevice::ReadOnly));
    const QJsonObject recorded = QJsonDocument::fromJson(dumpA.readAll()).object();
    EXPECT_EQ(recorded["edit"].toObject()["text"], "xdo Typed");
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 1);
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--dump-state", dir.qpath() + "/b.json"},
                                           dir.qpath() + "/b.json", env);
    EXPECT_EQ(replayed, recorded);
}

TEST(Twdemo, APlayedScreenDumpEqualsTheScreen)
{
    TestSupport::PrivateXServer display;
    if (!hasXTools(display))
        GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
    const QProcessEnvironment env = display.environment();
    TestSupport::ScratchDir dir;
    tool("xdotool", {"mousemove", "--sync", "1000", "100"}, env);
    const QString dump = dir.qpath() + "/tree.png";
    const QString script = dir.qpath() + "/dump.tws";
    QFile out(script);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(QString("<Events><Version id=\"3\"/><ScreenDump name=\"/twdemo/central/tree\" fileName=\"%1\" sleep=\"300\"/>"
                      "<Sleep msec=\"4000\"/><Close name=\"/twdemo\"/></Events>").arg(dump).toUtf8());
    out.close();
    QProcess playing;
    const QJsonObject rects = startTwdemo(playing, {"-playback", "-script", script}, dir.qpath() + "/rects.json", env);
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

TEST(Twdemo, AdapterInputThroughTheXServerReplaysAtAnotherFont)
{
    TestSupport::PrivateXServer display;
    if (!hasXTools(display))
        GTEST_SKIP() << "needs Xvfb, xdotool and ImageMagick";
    const QProcessEnvironment env = display.environment();
    TestSupport::ScratchDir dir;
    const QString script = dir.qpath() + "/xdo-adapters.tws";
    QProcess recording;
    const QJsonObject rects = startTwdemo(recording, {"-record", "-script", script, "--font", "9", "--dump-state",
                                                      dir.qpath() + "/a.json"}, dir.qpath() + "/rects.json", env);
    auto rect = [&](const char* name) {
        const QJsonArray r = rects[name].toObject()["rect"].toArray();
        return QRect(r[0].toInt(), r[1].toInt(), r[2].toInt(), r[3].toInt());
    };
    auto xdo = [&](QStringList arguments) {
        tool("xdotool", arguments, env);
        QTest::qWait(150);
    };
    auto at = [](QPoint p) { return QStringList {"mousemove", "--sync", QString::number(p.x()), QString::number(p.y())}; };
    auto clickAt = [&](QPoint p) { xdo(at(p) << "click" << "1"); };
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
    QFile dumpA(dir.qpath() + "/a.json");
    ASSERT_TRUE(dumpA.open(QIODevice::ReadOnly));
    const QJsonObject recorded = QJsonDocument::fromJson(dumpA.readAll()).object();
    EXPECT_NE(recorded["slider"].toObject()["value"], 10);
    EXPECT_NE(recorded["table"].toObject()["topRow"], 0);
    EXPECT_EQ(recorded["list"].toObject()["selected"].toArray().size(), 1);
    const QJsonObject replayed = runTwdemo({"-playback", "-script", script, "--font", "14", "--dump-state",
                                            dir.qpath() + "/b.json"}, dir.qpath() + "/b.json", env);
    EXPECT_EQ(QJsonDocument(replayed).toJson(QJsonDocument::Compact).toStdString(),
              QJsonDocument(recorded).toJson(QJsonDocument::Compact).toStdString());
}
