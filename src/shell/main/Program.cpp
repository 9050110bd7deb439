#include "shell/main/Program.h"

#include "planning/model/IPlanningUi.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "shell/main/Application.h"
#include "shell/main/IRecordPlayback.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "vexa/core/ExceptionStack.h"
#include "views/OpenGLView.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

int noDisplayStatus = 1;
QtMessageHandler handlerBeforeStart = nullptr;

// Qt ends a program whose window system it cannot reach with a fatal message and abort(): said
// plainly instead, and ended with the status of a refused start.
void startFailureWatcher(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (handlerBeforeStart)
        handlerBeforeStart(type, context, text);
    if (type != QtFatalMsg)
        return;
    const QByteArray display = qgetenv("DISPLAY");
    const QString line = QCoreApplication::translate("Program", "No usable display: the window system could not be reached (DISPLAY %1); "
                                                                "the program needs one and ends")
                             .arg(display.isEmpty() ? QStringLiteral("is not set") : "is " + QString::fromLocal8Bit(display));
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(nullptr);
    std::_Exit(noDisplayStatus);
}

// Platforms that show no window on a screen: the views draw with OpenGL in windows of their own.
bool drawsOnAScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal") && platform != QLatin1String("minimalegl");
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
    noDisplayStatus = mode == Constants::TestMode ? 255 : 1;
    handlerBeforeStart = qInstallMessageHandler(startFailureWatcher);
    Quorvane::Application app(count, args.data());
    qInstallMessageHandler(handlerBeforeStart);
    if (!drawsOnAScreen()) {
        std::fprintf(stderr, "%s\n", qPrintable(QCoreApplication::translate("Program", "No usable display: the platform '%1' shows no windows "
                                                                                         "on a screen, and the program's views need one; it ends")
                                                   .arg(QGuiApplication::platformName())));
        return noDisplayStatus;
    }
    // Made after the application object, destroyed before it.
    std::unique_ptr<IRecordPlayback> unit = hook.create ? hook.create(count, args.data(), mode == Constants::TestMode) : nullptr;
    IRecordPlayback* recorder = unit.get();
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
    Vexa::ExceptionStack::getInstance()->clear();
    int status = app.exec();
    if (app.hasFailed())
        status = 1;
    else if (status == 0 && recorder && mode == Constants::TestMode && recorder->errorsReported())
        status = -1;
    if (recorder)
        recorder->endRecording();
    window.reset();
    unit.reset();
    IPlanningUi::install(nullptr);
    startSibling();
    return status;
}
