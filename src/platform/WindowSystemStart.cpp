#include "platform/WindowSystemStart.h"

#include <QCoreApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace {

int failureStatus = 1;
QtMessageHandler handlerBefore = nullptr;

void startFailureWatcher(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (handlerBefore)
        handlerBefore(type, context, text);
    if (type != QtFatalMsg)
        return;
    const QByteArray display = qgetenv("DISPLAY"), platform = qgetenv("QT_QPA_PLATFORM");
    const QString where = !platform.isEmpty() ? QStringLiteral("QT_QPA_PLATFORM is ") + QString::fromLocal8Bit(platform)
                          : display.isEmpty() ? QStringLiteral("DISPLAY is not set")
                                              : QStringLiteral("DISPLAY is ") + QString::fromLocal8Bit(display);
    const QString line = QCoreApplication::translate("Program", "No usable display: the window system could not be reached (%1); "
                                                                "the program needs one and ends")
                             .arg(where);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(nullptr);
    std::_Exit(failureStatus);
}

}

namespace Platform {

void watchWindowSystemStart(int status)
{
    failureStatus = status;
    handlerBefore = qInstallMessageHandler(startFailureWatcher);
}

void endWatchingWindowSystemStart()
{
    qInstallMessageHandler(handlerBefore);
    handlerBefore = nullptr;
}

}
