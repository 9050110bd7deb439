#include "tapewright/Command.h"

#include "tapewright/TapewrightSettings.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

namespace {
int timeOutMs = Command::defaultTimeOutMs;

QString tr(const char* text) { return QCoreApplication::translate("Command", text); }
}

void Command::setTimeOut(int milliseconds) { timeOutMs = milliseconds; }

QStringList Command::splitCommand(const QString& command, bool* needsShell)
{
    QStringList words;
    QString word;
    QChar quote;
    bool shell = false;
    for (const QChar c : command) {
        if (!quote.isNull()) {
            if (c == quote) {
                words << word;
                word.clear();
                quote = QChar();
            } else {
                word += c;
            }
        } else if ((c == QLatin1Char('"') || c == QLatin1Char('\'')) && word.isEmpty()) {
            quote = c;
        } else if (c == QLatin1Char(' ')) {
            if (!word.isEmpty())
                words << std::exchange(word, QString());
        } else if (c == QLatin1Char(';') || c == QLatin1Char('|') || c == QLatin1Char('<') || c == QLatin1Char('>')) {
            if (!word.isEmpty())
                words << std::exchange(word, QString());
            words << QString(c);
            shell = true;
        } else {
            word += c;
        }
    }
    if (!word.isEmpty())
        words << word;
    if (!words.isEmpty() && words.first().contains(QLatin1Char('=')))
        shell = true;
    if (needsShell)
        *needsShell = shell;
    return words;
}

QString Command::runCommand(const QString& command, QString* failure)
{
    const auto fail = [failure](const QString& why) {
        if (failure)
            *failure = why;
        return why;
    };
    if (!TapewrightSettings::instance().allowCommands())
        return fail(tr("External commands are off; not run: %1").arg(command));
    bool needsShell = false;
    const QStringList words = splitCommand(command, &needsShell);
    if (words.isEmpty())
        return QString();

    QProcess process;
    QString output;
    bool capped = false;
    auto readLines = [&](QProcess::ProcessChannel channel, bool rest) {
        process.setReadChannel(channel);
        while (!capped && (process.canReadLine() || (rest && process.bytesAvailable() > 0))) {
            QString line = QString::fromLocal8Bit(process.readLine());
            if (!line.endsWith(QLatin1Char('\n')))
                line += QLatin1Char('\n');
            if (output.size() + line.size() > maxOutput) {
                capped = true;
                process.kill();
                output += tr("[output cut at %1 bytes]\n").arg(maxOutput);
                return;
            }
            output += line;
        }
    };
    QEventLoop loop;
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        process.kill();
    });
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop,
                     [&] { readLines(QProcess::StandardOutput, false); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &loop,
                     [&] { readLines(QProcess::StandardError, false); });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    // Qt 6 starts asynchronously and sends no finished() for a program that never started.
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    if (needsShell) {
        process.setProgram(QStringLiteral("/bin/sh"));
        process.setArguments({QStringLiteral("-c"), command});
    } else {
        process.setProgram(words.first());
        process.setArguments(words.mid(1));
    }
    process.start(QIODevice::ReadOnly);
    timer.start(timeOutMs);
    if (process.state() != QProcess::NotRunning || process.error() != QProcess::FailedToStart)
        loop.exec();
    timer.stop();
    if (process.error() == QProcess::FailedToStart)
        return output + fail(tr("Unable to run command: ") + words.join(QLatin1Char(' ')));
    // The loop ended from outside: the application quits, and the command's end is not waited for.
    if (process.state() != QProcess::NotRunning && !timedOut) {
        process.kill();
        process.waitForFinished(1000);
        return output + fail(tr("Command cut off as the application ended: %1").arg(command));
    }
    readLines(QProcess::StandardOutput, true);
    readLines(QProcess::StandardError, true);
    if (timedOut)
        output += fail(tr("Command timed out after %1 ms: %2").arg(timeOutMs).arg(command)) + QLatin1Char('\n');
    return output;
}
