#include "tapewright/ScriptWriter.h"
#include "tapewright/TapewrightUtil.h"
#include "vexa/core/DetachableCall.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QIODevice>
#include <QTextStream>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

namespace {
const QByteArray endTag = QByteArrayLiteral("</Events>");

// Writes and flushes `bytes` whole, or cuts a file back to what it had; false with why.
bool put(QIODevice& device, const QByteArray& bytes, QString& why)
{
    auto* file = qobject_cast<QFileDevice*>(&device);
    const qint64 before = file ? file->size() : 0;
    if (TapewrightUtil::writeWhole(device, bytes) && (!file || file->flush()))
        return true;
    why = device.errorString();
    if (file)
        file->resize(before);
    return false;
}
}

// What the caller and the writer's thread share; the thread owns it with the caller, as it may
// run on after the writer is gone.
struct ScriptWriter::Shared
{
    std::shared_ptr<QIODevice> device;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QByteArray> lines;
    bool ending = false;
    bool leave = false;
    bool endWhole = false;
    std::function<QString()> open;
    std::function<QString()> close;
    std::function<void()> failedCall;
    bool failed = false;
    // A write failed: what was handed over before the size limit was met is still written.
    bool broken = false;
    QString failure;

    // With the mutex held; the first failure is the one told.
    void fail(const QString& why, bool writeFailed = true)
    {
        if (!failed)
            failure = why;
        failed = true;
        broken = broken || writeFailed;
        if (failedCall)
            std::exchange(failedCall, nullptr)();
    }

    // Writes the lines handed over until the end is, then the end; in the writer's thread, or in
    // place where no thread could be started.
    void run(bool inPlace)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            if (!inPlace)
                wake.wait(lock, [this] { return !lines.empty() || ending || leave; });
            if (leave)
                return;
            if (open) {
                const auto opening = std::move(open);
                open = nullptr;
                lock.unlock();
                const QString why = opening();
                lock.lock();
                if (!why.isEmpty())
                    fail(why);
            }
            if (lines.empty()) {
                if (ending)
                    break;
                return;
            }
            const QByteArray line = std::move(lines.front());
            lines.pop_front();
            if (broken)
                continue;
            lock.unlock();
            QString why;
            const bool whole = put(*device, line, why);
            lock.lock();
            if (!whole)
                fail(why);
        }
        const auto closing = std::move(close);
        failedCall = nullptr;
        lock.unlock();
        // The end may still fit where an element did not: the script is then whole up to the failure.
        QString why;
        const bool whole = put(*device, endTag, why);
        const QString closed = closing ? closing() : QString();
        lock.lock();
        if (!whole)
            fail(why);
        if (!closed.isEmpty())
            fail(closed);
        endWhole = whole && closed.isEmpty();
    }
};

ScriptWriter::ScriptWriter(std::shared_ptr<QIODevice> device, qint64 maxBytes, std::function<QString()> open)
    : shared_(std::make_shared<Shared>()), maxBytes_(maxBytes)
{
    shared_->device = std::move(device);
    shared_->open = std::move(open);
    try {
        thread_ = std::make_unique<Vexa::DetachableCall>([shared = shared_] { shared->run(false); });
    } catch (const std::system_error&) {
        // No thread to be had: the writer writes in place, as it did before it had one.
    }
}

ScriptWriter::ScriptWriter(QIODevice* device, qint64 maxBytes, std::function<QString()> open)
    : ScriptWriter(std::shared_ptr<QIODevice>(device, [](QIODevice*) {}), maxBytes, std::move(open))
{
}

ScriptWriter::~ScriptWriter()
{
    std::lock_guard lock(shared_->mutex);
    shared_->failedCall = nullptr;
    if (!ended_) {
        shared_->leave = true;
        shared_->wake.notify_one();
    }
}

bool ScriptWriter::begin()
{
    return hand(QStringLiteral("<Events>\n"));
}

bool ScriptWriter::write(const QDomElement& element)
{
    return hand(elementLine(element));
}

bool ScriptWriter::hand(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::unique_lock lock(shared_->mutex);
    if (shared_->failed || ended_)
        return false;
    // Room for the end is kept; counted as handed over, so known at once.
    if (handed_ + bytes.size() + endTag.size() > maxBytes_) {
        shared_->failed = true;
        shared_->failure = QCoreApplication::translate("ScriptWriter", "it has reached %1 MiB, the limit for a script; "
                                                                       "it ends before this point")
                               .arg(double(maxBytes_) / (1024 * 1024), 0, 'f', maxBytes_ % (1024 * 1024) ? 2 : 0);
        return false;
    }
    handed_ += bytes.size();
    shared_->lines.push_back(bytes);
    if (thread_) {
        shared_->wake.notify_one();
        return true;
    }
    lock.unlock();
    shared_->run(true);
    return !failed();
}

bool ScriptWriter::end(std::function<QString()> close, std::chrono::milliseconds bound)
{
    if (ended_)
        return false;
    ended_ = true;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->ending = true;
        shared_->close = std::move(close);
        shared_->failedCall = nullptr;
        shared_->wake.notify_one();
    }
    if (!thread_)
        shared_->run(true);
    else if (!thread_->waitFor(bound)) {
        std::lock_guard lock(shared_->mutex);
        shared_->failedCall = nullptr;
        // Should the device answer after all, the thread still writes what it was handed.
        shared_->fail(QCoreApplication::translate("ScriptWriter", "it did not answer within %1 seconds; "
                                                                  "it ends where it stands")
                          .arg(std::chrono::duration_cast<std::chrono::seconds>(bound).count()),
                      false);
        return false;
    }
    std::lock_guard lock(shared_->mutex);
    // Let go of here, not in the thread as it ends.
    shared_->device.reset();
    return shared_->endWhole;
}

bool ScriptWriter::failed() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->failed;
}

QString ScriptWriter::failure() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->failure;
}

bool ScriptWriter::out() const { return thread_ && !thread_->returned(); }

void ScriptWriter::onFailure(std::function<void()> failed)
{
    std::lock_guard lock(shared_->mutex);
    if (!ended_)
        shared_->failedCall = std::move(failed);
}

QString ScriptWriter::elementLine(const QDomElement& element)
{
    QString text;
    QTextStream stream(&text);
    element.save(stream, 4);
    stream.flush();
    return text;
}
