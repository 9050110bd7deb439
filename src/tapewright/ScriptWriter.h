#pragma once
// Writes a script as it is recorded: "<Events>" and a line end, then one UTF-8 line per element
// (indented by four blanks), flushed at once so that a recording cut off keeps every element
// written so far, and at the end "</Events>" without a line end.
//
// A line the device does not take whole (a full disk) is cut off a file again, so the script
// ends in whole elements; from then on the writer writes no more elements (end() still tries
// to close the script) and failed() tells why. So does an element that would make the script
// larger than a player reads (Script::maxFileBytes): the script ends whole before it.
#include "tapewright/Script.h"

#include <QDomElement>
#include <QString>

class QIODevice;

class ScriptWriter
{
public:
    // The device is opened by the caller and stays the caller's. maxBytes: the size the script
    // may reach, "</Events>" included.
    explicit ScriptWriter(QIODevice* device, qint64 maxBytes = Script::maxFileBytes);

    // Each returns false when its text did not reach the device whole.
    bool begin();
    bool write(const QDomElement& element);
    bool end();

    bool failed() const { return failed_; }
    // Why the device took no more ("" while nothing failed).
    QString failure() const { return failure_; }

    // The text of one element as it appears in a script, line end included.
    static QString elementLine(const QDomElement& element);

private:
    bool put(const QString& text, bool afterFailure = false);

    QIODevice* device_;
    qint64 maxBytes_;
    qint64 written_ = 0;
    bool failed_ = false;
    QString failure_;
};
