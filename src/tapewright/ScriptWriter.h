#pragma once
// Writes a script as it is recorded: "<Events>" and a line end, then one UTF-8 line per element
// (indented by four blanks), flushed at once so that a recording cut off keeps every element
// written so far, and at the end "</Events>" without a line end.
//
// The file calls are made by a thread of the writer's own: a script on a file server that stopped
// answering holds that thread, never the caller (the window's thread). The caller only hands over
// whole lines, which the thread writes in order, each flushed as soon as it gets to it.
//
// A line the device does not take whole (a full disk) is cut off a file again, so the script
// ends in whole elements; from then on the writer writes no more elements (end() still tries
// to close the script) and failed() tells why, from the next write on, and onFailure hears of
// it at once. So does an element that would make the script larger than a player reads
// (Script::maxFileBytes), at the write that hands it over: the script ends whole before it.
#include "tapewright/Script.h"

#include <QDomElement>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QIODevice;
namespace Vexa {
class DetachableCall;
}

class ScriptWriter
{
public:
    // The device is opened by the caller, or by `open` (which returns why it could not, "" when
    // it could) in the writer's thread before the first line. From now on only the writer's
    // thread uses it, and it must outlive that thread: the writer shares in owning it, or, given
    // as a plain pointer, the caller keeps it while out() is true. maxBytes: the size the script
    // may reach, "</Events>" included.
    explicit ScriptWriter(std::shared_ptr<QIODevice> device, qint64 maxBytes = Script::maxFileBytes,
                          std::function<QString()> open = {});
    explicit ScriptWriter(QIODevice* device, qint64 maxBytes = Script::maxFileBytes, std::function<QString()> open = {});
    ~ScriptWriter();
    ScriptWriter(const ScriptWriter&) = delete;
    ScriptWriter& operator=(const ScriptWriter&) = delete;

    // Each returns false when its text is refused: a failure known by now, or the size limit.
    bool begin();
    bool write(const QDomElement& element);
    // Writes the end, then runs `close` (which returns why the device failed, "" when it did not)
    // in the writer's thread, and waits for both no longer than `bound`. False when the script
    // is not whole; a writer still out then (see out()) is left to the process's end.
    bool end(std::function<QString()> close = {}, std::chrono::milliseconds bound = std::chrono::seconds(4));

    bool failed() const;
    // Why the device took no more ("" while nothing failed).
    QString failure() const;
    // Whether the writer's thread is still in a call on the device after end() gave up on it.
    bool out() const;
    // Called in the writer's thread, once, when a write fails (not after end()).
    void onFailure(std::function<void()> failed);

    // The text of one element as it appears in a script, line end included.
    static QString elementLine(const QDomElement& element);

    struct Shared;

private:
    bool hand(const QString& text);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Vexa::DetachableCall> thread_;
    qint64 maxBytes_;
    qint64 handed_ = 0;
    bool ended_ = false;
};
