#include "vexa/core/ExceptionStack.h"

#include <QDateTime>
#include <sstream>

namespace Vexa {

std::shared_ptr<ExceptionStack> ExceptionStack::getInstance()
{
    static const std::shared_ptr<ExceptionStack> instance = std::make_shared<ExceptionStack>();
    return instance;
}

void ExceptionStack::push(const char* signature, const char* file, int line) noexcept
{
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto id = std::this_thread::get_id();
        auto [it, inserted] = entries_.try_emplace(id);
        if (inserted)
            order_.push_back(id);
        auto& list = it->second;
        if (list.size() >= maxEntriesPerThread)
            list.erase(list.begin());
        list.push_back(Entry{signature ? signature : "", file ? file : "", line, std::chrono::system_clock::now()});
    } catch (...) {
        // Recording must never replace the exception being passed on.
    }
}

void ExceptionStack::clear() noexcept
{
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
        order_.clear();
    } catch (...) {
    }
}

void ExceptionStack::dump(std::ostream& out) const noexcept
{
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& id : order_) {
            out << "thread id: " << id << '\n';
            for (const auto& e : entries_.at(id)) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(e.time.time_since_epoch()).count();
                const QString stamp = QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd/MM/yyyy hh:mm:ss.zzz"));
                out << stamp.toStdString() << '\t' << e.file << '\t' << e.signature << '\t' << e.line << '\n';
            }
        }
    } catch (...) {
    }
}

std::vector<ExceptionStack::Entry> ExceptionStack::entries(std::thread::id thread) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(thread);
    return it == entries_.end() ? std::vector<Entry>{} : it->second;
}

std::size_t ExceptionStack::size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& [id, list] : entries_)
        n += list.size();
    return n;
}

}
