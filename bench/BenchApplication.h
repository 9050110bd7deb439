#pragma once
// The application object the dialog benchmarks need (offscreen when there is no display).
#include <QApplication>
#include <cstdlib>

inline QApplication& benchApplication()
{
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication app(argc, argv);
    return app;
}
