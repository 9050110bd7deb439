#pragma once
// Writes a script as it is recorded: "<Events>" and a line end, then one UTF-8 line per element
// (indented by four blanks), flushed at once so that a recording cut off keeps every element
// written so far, and at the end "</Events>" without a line end.
#include <QDomElement>
#include <QTextStream>

class QIODevice;

class ScriptWriter
{
public:
    // The device is opened by the caller and stays the caller's.
    explicit ScriptWriter(QIODevice* device);

    void begin();
    void write(const QDomElement& element);
    void end();

    // The text of one element as it appears in a script, line end included.
    static QString elementLine(const QDomElement& element);

private:
    void flush();

    QIODevice* device_;
    QTextStream stream_;
};
