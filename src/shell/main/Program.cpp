#include "shell/main/Program.h"

#include "planning/model/IPlanningUi.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "platform/WindowSystemStart.h"
#include "shell/main/Application.h"
#include "shell/main/IRecordPlayback.h"
#include "shell/main/MainWindow.h"
#include "shell/dialogs/LoadPlanningDialog.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/main/StartWalk.h"
#include "vexa/core/DetachableCall.h"
#include "vexa/core/ExceptionStack.h"
#include "views/OpenGLView.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QScreen>
#include <QProcess>
#include <QSocketNotifier>
#include <QTranslator>
#if defined(MORVANTA_PLATFORM_CAPABILITIES)
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>
#endif
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {

// What keeps the platform from showing the program's views, empty when nothing does: they are
// OpenGL widgets, which need a screen, OpenGL and windows that compose OpenGL content (Qt's
// offscreen platform draws none of it, the framebuffer and VNC platforms have no OpenGL). Asked
// of the platform, not told by its name; tried only where the build cannot ask: a context made
// now would load the graphics driver, which a process short of memory or threads may fail to do
// for reasons of its own, told as such when the views need it.
QString displayProblem()
{
    const QString platform = QGuiApplication::platformName();
    if (!QGuiApplication::primaryScreen())
        return QCoreApplication::translate("Program", "the platform '%1' has no screen").arg(platform);
#if defined(MORVANTA_PLATFORM_CAPABILITIES)
    const QPlatformIntegration* integration = QGuiApplicationPrivate::platformIntegration();
    if (!integration->hasCapability(QPlatformIntegration::OpenGL))
        return QCoreApplication::translate("Program", "the platform '%1' gives no OpenGL context").arg(platform);
    if (!integration->hasCapability(QPlatformIntegration::RhiBasedRendering))
        return QCoreApplication::translate("Program", "the platform '%1' shows no OpenGL content in its windows").arg(platform);
#else
    if (QOpenGLContext context; !context.create())
        return QCoreApplication::translate("Program", "the platform '%1' gives no OpenGL context").arg(platform);
#endif
    return {};
}

// SIGTERM and SIGINT reach the event loop through this pipe: the handler may do nothing else.
int signalPipe[2] = {-1, -1};

void onEndSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}

bool Program::applyStartupEnvironment()
{
    bool ok = Utilities::setMixerVolume(4, 0.8);
    ok = Utilities::setMixerMute(4, false) && ok;
    ok = Utilities::setMixerVolume(0x1008, 1.0) && ok;
    ok = Utilities::setMixerMute(0x1008, false) && ok;
    return ok;
}

void Program::startSibling()
{
    const QString sibling = QString::fromStdString(Platform::applicationPath("StartMenu"));
    if (QFileInfo(sibling).isExecutable())
        QProcess::startDetached(sibling, {});
}

int Program::run(int argc, char** argv, const RecordPlaybackHook& hook, const std::function<void(MainWindow&)>& started)
{
    applyStartupEnvironment();
    // No argument counts as the unit's record option; exactly "-test" selects test mode.
    std::vector<char*> args(argv, argv + argc);
    QByteArray recordOption = hook.recordOption;
    if (argc <= 1)
        args.push_back(recordOption.data());
    int count = int(args.size());
    args.push_back(nullptr);
    const Constants::ExecMode mode =
        std::strcmp(args[1], "-test") == 0 ? Constants::TestMode : Constants::NormalMode;

    OpenGLView::setDefaultSurfaceFormat();
    // A test run that cannot start ends with 255, as one that refused its input.
    const int noDisplayStatus = mode == Constants::TestMode ? 255 : 1;
    Platform::watchWindowSystemStart(noDisplayStatus);
    Quorvane::Application app(count, args.data());
    Platform::endWatchingWindowSystemStart();
    if (const QString problem = displayProblem(); !problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(QCoreApplication::translate("Program", "No usable display: %1; the program's OpenGL "
                                                                                         "views cannot be shown, and it ends")
                                                   .arg(problem)));
        return noDisplayStatus;
    }
    // Made after the application object, destroyed before it.
    std::unique_ptr<IRecordPlayback> unit = hook.create ? hook.create(count, args.data(), mode == Constants::TestMode) : nullptr;
    IRecordPlayback* recorder = unit.get();
    // A test run does what its command line says or nothing: a mistyped option would leave a
    // window that waits for a person.
    if (mode == Constants::TestMode && count > 2) {
        QStringList unknown;
        for (int i = 2; i < count; ++i)
            unknown << QString::fromLocal8Bit(args[i]);
        std::fprintf(stderr, "%s\n", qPrintable(QCoreApplication::translate("Program", "Test mode does not know '%1'; the run ends")
                                                   .arg(unknown.join(QStringLiteral("', '")))));
        return 255;
    }
    app.setFailureHandler([recorder](const QString& what, bool known) {
        if (recorder)
            recorder->endRecording();
        Quorvane::Application::reportException(what, known);
    });
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    std::unique_ptr<MainWindow> window;
    try {
        window = std::make_unique<MainWindow>(recorder, mode);
    } catch (const std::exception& e) {
        // The window could not be built: reported like an exception of the event loop.
        Quorvane::Application::reportException(QString::fromLocal8Bit(e.what()), true);
        IPlanningUi::install(nullptr);
        startSibling();
        return 1;
    }
    QTranslator translator;
    QCoreApplication::installTranslator(&translator);
    app.initSpaceball(window->winId());
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, &QCoreApplication::quit);
    // A test run ends with its script: the user waits for the verdict, not for a window.
    if (recorder && mode == Constants::TestMode)
        recorder->startWithFile(window.get(), [](int code) { QCoreApplication::exit(code); });
    if (started)
        started(*window);
    // SIGTERM or SIGINT (a shutdown, Ctrl+C, a replay's time limit) ends the run as quitting
    // does: navigation off, the treatment log stored; what is said then goes to standard error,
    // as nobody may be there to close a box. A changed planning is not saved, and that is said.
    // The status says which signal it was.
    int endedBy = 0;
    std::unique_ptr<QSocketNotifier> endSignals;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        endSignals = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(endSignals.get(), &QSocketNotifier::activated, &app, [&endedBy, &window] {
            unsigned char number = 0;
            if (::read(signalPipe[0], &number, 1) != 1 || endedBy)
                return;
            endedBy = number;
            // Quitting would ask whether to save a changed planning or an imported series; nobody
            // may be there to answer.
            const bool imported = window->getSettings() && window->getSettings()->getPlanningState() == 1;
            const bool unsaved = window->getModel() && window->getModel()->hasChanged();
            std::fprintf(stderr, "%s\n",
                         qPrintable((imported ? QCoreApplication::translate("Program", "Ending on signal %1: the imported series "
                                                                                       "was not saved as a planning")
                                     : unsaved ? QCoreApplication::translate("Program", "Ending on signal %1: navigation is switched off "
                                                                                        "and the treatment log stored, but the unsaved "
                                                                                        "planning was not saved")
                                               : QCoreApplication::translate("Program", "Ending on signal %1, as quitting does"))
                                        .arg(endedBy)));
            IPlanningUi::install(nullptr);
            window->close();
            QCoreApplication::exit(128 + endedBy);
        });
        struct sigaction action{};
        action.sa_handler = onEndSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(QCoreApplication::translate("Program", "SIGTERM and SIGINT end the program at once: %1")
                                                   .arg(QString::fromLocal8Bit(std::strerror(errno)))));
    }
    Vexa::ExceptionStack::getInstance()->clear();
    int status = app.exec();
    if (endedBy)
        status = app.hasFailed() ? 1 : 128 + endedBy;
    else if (app.hasFailed())
        status = 1;
    else if (status == 0 && recorder && mode == Constants::TestMode && recorder->errorsReported())
        status = -1;
    // Its end is written where the recording's folder answers; the window knows the file.
    window->endRecording(true);
    window.reset();
    unit.reset();
    IPlanningUi::install(nullptr);
    if (endSignals) {
        endSignals.reset();
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    startSibling();
    // What must be stored is stored: a file call on a patient folder that does not answer (a
    // file server down) holds only a thread, which the process does not wait for.
    if (StartWalk::threadsOut() + LoadPlanningDialog::threadsOut() + Vexa::DetachableCall::out() > 0) {
        std::fprintf(stderr, "%s\n", qPrintable(QCoreApplication::translate("Program", "A patient folder does not answer: the "
                                                                                         "program ends without waiting for it")));
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
