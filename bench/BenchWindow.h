#pragma once
// What the benchmarks of the main window share: the application object with the planning's user
// interface, and waiting until the window's views have painted.
#include "planning/model/IPlanningUi.h"
#include "shell/main/ShellPlanningUi.h"
#include "views/OpenGLView.h"

#include <QApplication>
#include <QOpenGLWidget>
#include <memory>
#include <set>
#include <vector>

// The application object, made once after `prepare` (the program's folder); false without an X
// display, which the views need.
inline bool benchWindowApplication(void (*prepare)())
{
    if (!qEnvironmentVariableIsSet("DISPLAY"))
        return false;
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static const bool made = [prepare] {
        prepare();
        OpenGLView::setDefaultSurfaceFormat();
        new QApplication(argc, argv);
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        return true;
    }();
    return made;
}

// Runs the event loop until every view the window shows has painted once from now on.
inline void waitForPaints(QWidget& window)
{
    std::set<QOpenGLWidget*> pending;
    std::vector<QMetaObject::Connection> connections;
    for (QOpenGLWidget* view : window.findChildren<QOpenGLWidget*>())
        if (view->isVisible()) {
            pending.insert(view);
            connections.push_back(QObject::connect(view, &QOpenGLWidget::frameSwapped, [&pending, view] { pending.erase(view); }));
        }
    while (!pending.empty())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    for (const auto& c : connections)
        QObject::disconnect(c);
}
