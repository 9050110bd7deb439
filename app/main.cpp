// Morvanta: the program entry. "-test" selects test mode; any other first argument, or none,
// the normal mode.
#include "planning/model/IPlanningUi.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "shell/main/Application.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "vexa/core/ExceptionStack.h"
#include "views/OpenGLView.h"

#include <QFileInfo>
#include <QProcess>
#include <QTranslator>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Speakers at 0.8 and wave-out at 1.0, both unmuted; true when all four calls succeeded.
bool applyStartupEnvironment()
{
    bool ok = Utilities::setMixerVolume(4, 0.8);
    ok = Utilities::setMixerMute(4, false) && ok;
    ok = Utilities::setMixerVolume(0x1008, 1.0) && ok;
    ok = Utilities::setMixerMute(0x1008, false) && ok;
    return ok;
}

// The sibling program, started detached when it is there; never awaited.
void startSibling()
{
    const QString sibling = QString::fromStdString(Platform::applicationPath("StartMenu"));
    if (QFileInfo(sibling).isExecutable())
        QProcess::startDetached(sibling, {});
}

}

int main(int argc, char** argv)
{
    applyStartupEnvironment();
    std::vector<char*> args(argv, argv + argc);
    static char record[] = "-record";
    if (argc == 1)
        args.push_back(record);
    int count = int(args.size());
    args.push_back(nullptr);
    const Constants::ExecMode mode =
        std::strcmp(args[1], "-test") == 0 ? Constants::TestMode : Constants::NormalMode;

    OpenGLView::setDefaultSurfaceFormat();
    Quorvane::Application app(count, args.data());
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    int status = 1;
    std::unique_ptr<MainWindow> window;
    try {
        window = std::make_unique<MainWindow>(nullptr, mode);
    } catch (const std::exception& e) {
        // The window could not be built: reported like an exception of the event loop.
        Quorvane::Application::reportException(QString::fromLocal8Bit(e.what()), true);
        startSibling();
        return 1;
    }
    QTranslator translator;
    QCoreApplication::installTranslator(&translator);
    app.initSpaceball(window->winId());
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, &QCoreApplication::quit);
    Vexa::ExceptionStack::getInstance()->clear();
    status = app.exec();
    if (app.hasFailed() && status == 0)
        status = 1;
    window.reset();
    IPlanningUi::install(nullptr);
    startSibling();
    return status;
}
