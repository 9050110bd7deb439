#pragma once
// Runs the external command of a played "RunCommand" element and collects what it prints on
// standard output and standard error, line by line in the order they arrive. Commands run only
// when enabled (allowCommands). A command line with ";", "|", "<", ">" or "=" in its first word
// goes to /bin/sh -c as written; any other starts its program directly with the split words.
// A command is killed after the time-out, and its output is capped.
#include <QString>
#include <QStringList>

class Command
{
public:
    static constexpr int defaultTimeOutMs = 60 * 1000;
    static constexpr qsizetype maxOutput = 1024 * 1024;

    // The output, and what the command did not do when it failed: refused (commands are off),
    // not started, killed at the time-out, or cut off as the application ended. The output holds
    // that text too.
    static QString runCommand(const QString& command, QString* failure = nullptr);
    static QStringList splitCommand(const QString& command, bool* needsShell);
    static void setTimeOut(int milliseconds);
};
