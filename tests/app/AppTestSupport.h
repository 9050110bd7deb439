#pragma once
// A private application folder for the program's flows, and a helper that answers the modal
// dialogs they open, one expected dialog after another, as a person would.
#include "../common/TestSupport.h"
#include "../shell/ShellTestSupport.h"

#include "shell/dialogs/HierachyImplantSelectionDialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProgressDialog>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QColor>
#include <QImage>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <deque>
#include <gtest/gtest.h>
#include <functional>
#include <iostream>
#include <string>
#include <unistd.h>

namespace AppTest {

inline const QString built = QStringLiteral(MORVANTA_BINARY_DIR "/app");

// Data and pictures of the build, the sample patient as the import folder, plannings under a
// folder of the test's own.
struct AppFolder
{
    explicit AppFolder(const QString& extraSettings = {})
    {
        const QString home = dir.qpath();
        for (const char* linked : {"Data", "SamplePatient"})
            QFile::link(built + "/" + linked, home + "/" + linked);
        QProcess::execute("cp", {"-r", built + "/ImplantDatabase", home + "/ImplantDatabase"});
        QDir().mkpath(home + "/patients");
        QFile ini(home + "/Morvanta.ini");
        ini.open(QIODevice::WriteOnly);
        ini.write(("[Morvanta]\nPatientPath=" + home + "/patients\nCdpath=" + home +
                   "/SamplePatient\nCaptureSupport=1\n" + extraSettings)
                      .toUtf8());
        ini.close();
        qputenv("MORVANTA_HOME", home.toUtf8());
    }
    ~AppFolder() { qunsetenv("MORVANTA_HOME"); }
    QString path(const QString& relative = {}) const { return relative.isEmpty() ? dir.qpath() : dir.qpath() + "/" + relative; }
    TestSupport::ScratchDir dir;
};

// While it lives, the program runs in a program folder it may not write (and Images/ in it):
// as another account where the test runs as root, whom no mode bits stop (the saved ids stay
// root's, to come back to).
struct ReadOnlyProgramFolder
{
    explicit ReadOnlyProgramFolder(const AppFolder& home) : folders{home.path(), home.path("Images")}
    {
        QProcess::execute("chmod", {"-R", "a+rwX", home.path("patients")});
        for (const QString& folder : folders)
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                              QFile::ReadOther | QFile::ExeOther);
        const bool root = ::geteuid() == 0;
        asNobody = root && ::setresgid(65534, 65534, 0) == 0 && ::setresuid(65534, 65534, 0) == 0;
        EXPECT_EQ(asNobody, root);
    }
    ~ReadOnlyProgramFolder()
    {
        if (asNobody) {
            EXPECT_TRUE(::setresuid(0, 0, 0) == 0 && ::setresgid(0, 0, 0) == 0);
        }
        for (const QString& folder : folders)
            QFile::setPermissions(folder, QFile::permissions(folder) | QFile::WriteOwner);
    }
    const QStringList folders;
    bool asNobody = false;
};

// Answers modal dialogs in order: each step gets the active modal widget and returns true once
// it has dealt with it. Progress dialogs are left to run. Every other dialog's window title and
// class are logged, so an unexpected question shows in the failure.
class DialogAnswerer
{
public:
    DialogAnswerer()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(30);
    }
    void then(std::function<bool(QWidget*)> step) { steps_.push_back(std::move(step)); }
    bool done() const { return steps_.empty(); }
    QStringList seen;

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || qobject_cast<QProgressDialog*>(modal) || busy_)
            return;
        if (modal != last_) {
            last_ = modal;
            seen << QString(modal->metaObject()->className()) + ":" + modal->windowTitle();
        }
        if (steps_.empty())
            return;
        busy_ = true;
        auto step = steps_.front();
        if (step(modal))
            steps_.pop_front(), last_ = nullptr;
        busy_ = false;
    }
    QTimer timer_;
    std::deque<std::function<bool(QWidget*)>> steps_;
    QWidget* last_ = nullptr;
    bool busy_ = false;
};

// Clicks the push button of the modal widget whose text (line breaks ignored) is `text`.
inline std::function<bool(QWidget*)> clickButton(const char* className, const QString& text)
{
    return [className, text](QWidget* modal) {
        if (!modal->inherits(className))
            return false;
        for (QPushButton* b : modal->findChildren<QPushButton*>())
            if (b->text().remove('\n').simplified() == text) {
                QTimer::singleShot(0, b, [b] { b->click(); });
                return true;
            }
        return false;
    };
}

// Double-clicks the first study of the import dialog.
inline bool openFirstStudy(QWidget* modal)
{
    auto* list = modal->findChild<QTreeWidget*>("m_PatientTable");
    if (!list || list->topLevelItemCount() == 0)
        return false;
    ShellTest::doubleClick(list, list->topLevelItem(0));
    return true;
}

// Chooses the database's first implant in the implant selection dialog and accepts it.
inline bool chooseFirstImplant(QWidget* modal)
{
    auto* dialog = qobject_cast<HierachyImplantSelectionDialog*>(modal);
    if (!dialog)
        return false;
    auto* all = static_cast<QTreeWidget*>(dialog->findChild<QStackedWidget*>()->widget(0));
    dialog->findChild<QStackedWidget*>()->setCurrentWidget(all);
    all->setCurrentItem(all->topLevelItem(0)->child(0)->child(0));
    QPushButton* ok = ShellTest::buttonsInOrder(*dialog).back();
    QTimer::singleShot(0, ok, [ok] { ok->click(); });
    return true;
}

// A left click at a place given as fractions of the widget's size.
inline void clickAt(QWidget* widget, const QPointF& at)
{
    const QPoint p(int(at.x() * widget->width()), int(at.y() * widget->height()));
    QTest::mousePress(widget, Qt::LeftButton, {}, p);
    QTest::mouseRelease(widget, Qt::LeftButton, {}, p);
}

// The panoramic curve as a person draws it in the sample patient's axial view: three corners on
// the arch, at its two ends and its front (fractions of the view's size). The 3D model of its
// band takes seconds also under the sanitizers.
inline const QPointF archCurve[] = {{0.2, 0.6}, {0.5, 0.2}, {0.8, 0.6}};

// Waits in the event loop until the condition holds (or a bound passes).
template<class C>
bool waitFor(C condition, int ms = 120000)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs /usr/bin/python3 with the script and arguments; its standard output, trimmed.
inline QString python(const QString& script, const QStringList& args = {})
{
    QProcess p;
    p.start("/usr/bin/python3", QStringList{"-c", script} + args);
    p.waitForFinished(120000);
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()).trimmed();
}

// Runs an X tool on the display to its end and gives what it printed. A loaded machine may
// take long to show the window a `search --sync` waits for: a tool cut off early would leave its
// keys unsent. Bounded all the same, so that a window that never comes fails the test, named.
inline QByteArray runOnDisplay(const QString& display, const QString& tool, const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start(tool, args);
    if (!p.waitForFinished(120000)) {
        ADD_FAILURE() << tool.toStdString() << " " << args.join(' ').toStdString() << " did not end in two minutes";
        p.kill();
        p.waitForFinished();
    }
    return p.readAllStandardOutput();
}

// Runs xdotool on the display; its standard output, trimmed.
inline QString xdotool(const QString& display, const QStringList& args)
{
    return QString(runOnDisplay(display, "xdotool", args)).trimmed();
}

// The colour of one pixel of the display's screen (invalid when it cannot be read).
inline QColor screenPixel(const QString& display, QPoint at)
{
    const QImage pixel = QImage::fromData(
        runOnDisplay(display, "import", {"-window", "root", "-crop", QString("1x1+%1+%2").arg(at.x()).arg(at.y()), "ppm:-"}),
        "PPM");
    return pixel.isNull() ? QColor() : pixel.pixelColor(0, 0);
}

// The id of the visible window whose title matches the pattern (the program's own, when given:
// another instance's may match too), waited for; "" when none came.
inline QString waitForWindow(const QString& display, const QString& title, int ms = 60000,
                             const QProcess* program = nullptr)
{
    QString window;
    const QStringList own = program ? QStringList{"--all", "--pid", QString::number(program->processId())} : QStringList();
    waitFor([&] {
        window = xdotool(display, QStringList{"search", "--onlyvisible"} + own + QStringList{"--name", title})
                     .section('\n', 0, 0);
        return !window.isEmpty() || (program && program->state() == QProcess::NotRunning);
    }, ms);
    return window;
}

// The keys the X server holds down, by name ("w Control_L"): none once a test's keys are done.
inline QString heldKeys(const QString& display)
{
    return python("import ctypes,sys\n"
                  "x=ctypes.CDLL('libX11.so.6')\n"
                  "x.XOpenDisplay.restype=ctypes.c_void_p\n"
                  "x.XKeysymToString.restype=ctypes.c_char_p\n"
                  "x.XkbKeycodeToKeysym.restype=ctypes.c_ulong\n"
                  "d=ctypes.c_void_p(x.XOpenDisplay(sys.argv[1].encode()))\n"
                  "if not d: sys.exit('no display '+sys.argv[1])\n"
                  "k=ctypes.create_string_buffer(32)\n"
                  "x.XQueryKeymap(d,k)\n"
                  "print(' '.join((x.XKeysymToString(x.XkbKeycodeToKeysym(d,c,0,0)) or b'?').decode()\n"
                  "               for c in range(8,256) if k.raw[c//8]>>(c%8)&1))",
                  {display});
}

// Starts the program on the display (with the arguments, in the working folder `home`; its
// standard error kept for the test) and waits for its visible window, which gets the focus;
// its id, or "" (also when the program ended first).
inline QString startProgram(QProcess& program, const QString& display, const QString& home,
                            const QStringList& args = {}, const QProcessEnvironment& extra = {},
                            const QStringList& wrapper = {})
{
    // A key an earlier test left down would swallow the program's next press of it.
    const QString held = heldKeys(display);
    if (!held.isEmpty())
        ADD_FAILURE() << "keys held down on " << display.toStdString()
                      << " before the program starts: " << held.toStdString();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.remove("QT_QPA_PLATFORM"); // set for the test process itself when it has no display
    env.insert("SPNAV_SOCKET", home + "/spnav.sock");
    env.insert(extra);
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(home);
    program.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    // A wrapper (another user, a umask) execs the program: the process stays the program's.
    if (wrapper.isEmpty())
        program.start(built + "/Morvanta", args);
    else
        program.start(wrapper.front(), wrapper.mid(1) + QStringList{built + "/Morvanta"} + args);
    const QString window = waitForWindow(display, "^Morvanta$", 60000, &program);
    if (!window.isEmpty())
        xdotool(display, {"windowfocus", "--sync", window});
    else if (program.state() == QProcess::NotRunning) {
        // Left in the test's output: why the program ended before its window showed. Only
        // peeked at: the test reads the same standard error afterwards.
        program.setReadChannel(QProcess::StandardError);
        const QByteArray errors = program.peek(program.bytesAvailable());
        program.setReadChannel(QProcess::StandardOutput);
        std::cerr << "the program ended before its window showed: "
                  << (program.exitStatus() == QProcess::CrashExit ? "crashed, " : "exit code ")
                  << program.exitCode() << "\n" << errors.toStdString() << std::endl;
    }
    return window;
}

// Waits until the program's start has looked through the patient folders (its line on standard
// error, once that walk beside the window is through); what it wrote there is added to `errors`.
inline bool waitForStartWalk(QProcess& program, QByteArray& errors, int ms = 60000)
{
    const QByteArray through = "the patient folders were looked through at this start";
    waitFor([&] {
        errors += program.readAllStandardError();
        return errors.contains(through) || program.state() == QProcess::NotRunning;
    }, ms);
    errors += program.readAllStandardError();
    return errors.contains(through);
}

// The visible window with that title once it has shown and been painted, focused; "" when none does.
inline QString windowNamed(const QString& display, const QString& title)
{
    const QString window = AppTest::waitForWindow(display, "^" + title + "$");
    AppTest::waitFor([] { return false; }, 300);
    if (!window.isEmpty())
        xdotool(display, {"windowfocus", "--sync", window});
    return window;
}

// Ctrl+O, "Reload planning", the only planning; whether its list went.
inline bool reloadTheOnlyPlanning(const QString& display)
{
    xdotool(display, {"key", "ctrl+o"});
    // "Load patient" starts on its last button, "Cancel"; the one before is "Reload planning".
    if (windowNamed(display, "Load patient").isEmpty())
        return false;
    xdotool(display, {"key", "shift+Tab", "space"});
    // A double click on the only planning, the first row under the list's header.
    const QString load = windowNamed(display, "Load planning");
    if (load.isEmpty())
        return false;
    // The list fills while the dialog shows: the row is double-clicked again until the dialog goes.
    return AppTest::waitFor([&] {
        if (xdotool(display, {"search", "--onlyvisible", "--name", "^Load planning$"}).isEmpty())
            return true;
        xdotool(display, {"mousemove", "--window", load, "120", "42", "click", "--repeat", "2", "1"});
        return false;
    }, 30000);
}

// The widget as the screen shows it.
inline QImage onScreen(QWidget* widget)
{
    const QPoint at = widget->mapToGlobal(QPoint());
    return widget->screen()->grabWindow(0, at.x(), at.y(), widget->width(), widget->height()).toImage().convertToFormat(
        QImage::Format_RGB32);
}

// How many pixels of two pictures of one size differ, the first of them named.
inline int differences(const QImage& seen, const QImage& expected, std::string& first)
{
    int differ = 0;
    for (int y = 0; y < seen.height(); ++y)
        for (int x = 0; x < seen.width(); ++x)
            if (seen.pixel(x, y) != expected.pixel(x, y) && differ++ == 0)
                first = QString("%1,%2 is %3, not %4")
                            .arg(x)
                            .arg(y)
                            .arg(seen.pixelColor(x, y).name(), expected.pixelColor(x, y).name())
                            .toStdString();
    return differ;
}

// A left click by the X server (xdotool) at a place of the widget given as fractions of its size.
inline void xClick(QWidget* widget, const QPointF& at = {0.5, 0.5})
{
    const QPoint p = widget->mapToGlobal(QPoint(int(at.x() * widget->width()), int(at.y() * widget->height())));
    // (No --sync: a move to where the pointer is already would wait for ever.)
    xdotool(qEnvironmentVariable("DISPLAY"), {"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "1"});
}

// The screen of the X server the program tests run the program on.
inline constexpr QSize programScreen(1920, 1080);

// One X server for the program tests of a process (a second one started at once may find the
// first one's socket still there).
inline TestSupport::PrivateXServer& xServer()
{
    static TestSupport::PrivateXServer x(QString("%1x%2x24").arg(programScreen.width()).arg(programScreen.height()));
    return x;
}

// Runs xdotool on the visible window of that title on the program tests' X server, waited for
// ("%1" is its id). Keys go after "windowfocus": without a window manager a closed dialog gives
// the focus to no one. The id is written in, never left to xdotool's own search: keys aimed at a
// window found so are let go by a message to that window once the focus has left it (for the
// dialog the key opened), and the X server holds them down for every later program.
inline void inWindow(const QString& title, const QStringList& args)
{
    const QString display = xServer().display(), window = waitForWindow(display, title, 120000);
    if (window.isEmpty())
        ADD_FAILURE() << "no window " << title.toStdString();
    else
        xdotool(display, QStringList(args).replaceInStrings("%1", window));
}

// Patient (the save question, where a planning is open, answered by a click at that place), then
// the first row of the import (or planning) table and its accepting key; the table fills while the
// dialog shows, so the row is chosen again until the dialog goes.
inline void openFirstEntry(bool reload, QPoint saveAnswer = {})
{
    inWindow("^Morvanta$", {"windowfocus", "--sync", "%1", "key", "space"});
    if (!saveAnswer.isNull())
        inWindow("^Save patient$", {"mousemove", "--window", "%1", QString::number(saveAnswer.x()),
                                    QString::number(saveAnswer.y()), "click", "1"});
    inWindow("^Load patient$", {"mousemove", "--window", "%1", reload ? "252" : "90", "58", "click", "1"});
    const QString display = xServer().display(), title = reload ? "^Load planning$" : "^DICOM Data Import$";
    QString window = waitForWindow(display, title, 30000);
    for (int i = 0; i < 20 && !window.isEmpty(); ++i) {
        xdotool(display, {"mousemove", "--window", window, "230", "42", "click", "1", "key", reload ? "alt+o" : "alt+i"});
        waitFor([&] { return (window = waitForWindow(display, title, 0)).isEmpty(); }, 3000);
    }
    ASSERT_TRUE(window.isEmpty()) << title.toStdString();
}

// Runs the current test again in a child, on an X server of its own (of that screen) without a
// window manager as `scripts/run` starts one: true inside the child, false outside once the
// child has ended.
inline bool rerunOnOwnXServer(const QString& screen = QStringLiteral("1280x1024x24"))
{
    if (qEnvironmentVariableIsSet("MORVANTA_OWN_X_SERVER"))
        return true;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    TestSupport::PrivateXServer server(screen);
    QProcess child;
    QProcessEnvironment env = server.environment();
    env.insert("MORVANTA_OWN_X_SERVER", "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    const bool ended = server.running() && child.waitForFinished(500000);
    const QString output = child.readAll();
    EXPECT_TRUE(ended && child.exitCode() == 0 && output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return false;
}

// A full-screen window of the test process laid out at the size the program's window has on its
// own server, whatever the size of the display the test was started on: where this window puts
// a widget is where the program puts it. False when the window system keeps another size.
inline bool layOutAsTheProgram(QWidget& window)
{
    window.setGeometry(QRect(QPoint(0, 0), programScreen));
    const bool sized = waitFor([&] { return window.geometry() == QRect(QPoint(0, 0), programScreen); }, 10000);
    // The nested layouts settle in turns of the event loop.
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    return sized;
}

}
