#include "tapewright/ErrorReport.h"

#include "tapewright/ChildListener.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/ThreadStarts.h"
#include "tapewright/TimerKiller.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <system_error>

namespace {

std::map<int, std::function<void()>>& exitHooks()
{
    static std::map<int, std::function<void()>> hooks;
    return hooks;
}

std::function<void(bool, const QString&)>& errorSink()
{
    static std::function<void(bool, const QString&)> sink;
    return sink;
}

int& errorCount()
{
    static int count = 0;
    return count;
}

void runExitHooks()
{
    auto& hooks = exitHooks();
    while (!hooks.empty()) {
        auto last = std::prev(hooks.end());
        auto hook = std::move(last->second);
        hooks.erase(last);
        hook();
    }
}

QtMessageHandler previousHandler = nullptr;

[[noreturn]] void endAfterThreadFailure(const QString& reason)
{
    ++errorCount();
    const QString message =
        QCoreApplication::translate("QObject", "A thread could not be started %1; the program cannot go on without it and ends").arg(reason);
    const QByteArray line = message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    const QCoreApplication* application = QCoreApplication::instance();
    if (!application || QThread::currentThread() == application->thread())
        runExitHooks();
    // Not std::exit: the thread that failed may be one of a pool whose lock this thread holds
    // now, and the pool's destructor at exit would wait for that lock.
    std::fflush(nullptr);
    std::_Exit(255);
}

void threadStartWatcher(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    // Qt's own words (a critical message) when QThread::start cannot create the thread, the
    // system's reason in parentheses.
    static const QLatin1String failure("QThread::start: Thread creation error");
    if (type == QtDebugMsg || type == QtInfoMsg || !text.startsWith(failure)) {
        previousHandler(type, context, text);
        return;
    }
    endAfterThreadFailure(text.mid(failure.size()).trimmed());
}

// A thread start of a library that goes round Qt (the GL driver's drawing threads, whose failed
// start it does not survive: it crashes on the half-made pool) ends the program as Qt's do.
void foreignStartFailed(int error)
{
    endAfterThreadFailure(QLatin1Char('(') + QString::fromStdString(std::generic_category().message(error)) + QLatin1Char(')'));
}

}

void setErrorSink(std::function<void(bool canContinue, const QString& message)> sink)
{
    errorSink() = std::move(sink);
}

int addExitHook(std::function<void()> hook)
{
    static int next = 0;
    exitHooks().emplace(++next, std::move(hook));
    return next;
}

void removeExitHook(int handle)
{
    exitHooks().erase(handle);
}

void exitAfterError()
{
    runExitHooks();
    std::fflush(stdout);
    std::exit(-1);
}

void reportToStandardError(bool canContinue, const QString& message)
{
    const QByteArray line = message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (!canContinue)
        exitAfterError();
}

int reportedErrors()
{
    return errorCount();
}

void reportError(bool canContinue, const QString& text)
{
    ++errorCount();
    const QString message = TapewrightUtil::readable(text);
    if (errorSink()) {
        errorSink()(canContinue, message);
        return;
    }
    // Nobody would answer a box: a run without an operator must not wait for one.
    const TapewrightSettings& settings = TapewrightSettings::instance();
    if (settings.errorMessageLocation() != 1 || settings.unattended()) {
        reportToStandardError(canContinue, message);
        return;
    }

    auto* killer = new TimerKiller;
    QPointer<QMessageBox> box = new QMessageBox(
        canContinue ? QMessageBox::Warning : QMessageBox::Critical,
        QCoreApplication::translate("QObject", "Tapewright Problems"),
        QCoreApplication::translate("QObject",
                                    "<qt><p>Tapewright encounted an error:</p><p><b>%1</b></p>"
                                    "<p>Continuing might risk proper execution</p></qt>")
            .arg(message.toHtmlEscaped()),
        QMessageBox::Abort | QMessageBox::Ignore);
    box->setObjectName(QStringLiteral("box"));
    // The component's own box is never part of a recording.
    ChildListener::instance()->ignoreObject(box);
    const int answer = box->exec();
    delete box;
    if (answer == QMessageBox::Abort)
        exitAfterError();
    killer->release();
}

void watchThreadStarts()
{
    static const bool installed = (previousHandler = qInstallMessageHandler(threadStartWatcher), true);
    (void)installed;
    ThreadStarts::setFailureHandler(foreignStartFailed);
}
