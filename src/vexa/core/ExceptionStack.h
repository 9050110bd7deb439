#pragma once
// The process-wide exception trail: every member function that lets an exception pass
// records where it passed (VEXA_RETHROW), so that the path of a failure can be written out.
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace Vexa {

class ExceptionStack
{
public:
    struct Entry
    {
        std::string signature;
        std::string file;
        int line = 0;
        std::chrono::system_clock::time_point time;
    };

    // Records kept per thread; older ones are dropped beyond this so that a long session
    // that keeps failing and recovering cannot grow without bound.
    static constexpr std::size_t maxEntriesPerThread = 1000;

    static std::shared_ptr<ExceptionStack> getInstance();

    // Appends one record for the calling thread. Never throws.
    void push(const char* signature, const char* file, int line) noexcept;
    // Removes the records of all threads. Never throws.
    void clear() noexcept;
    // Thread by thread: "thread id: <id>" and a line break, then one line per record
    // (time stamp, source file, function signature, line, separated by tabs). Never throws.
    void dump(std::ostream& out) const noexcept;

    std::vector<Entry> entries(std::thread::id thread) const;
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::thread::id> order_;
    std::map<std::thread::id, std::vector<Entry>> entries_;
};

}

// Closes a function body of the form `R f(...) try { ... } VEXA_RETHROW`: records the
// function on the exception trail and throws the same exception on.
#define VEXA_RETHROW                                                                         \
    catch (...)                                                                              \
    {                                                                                        \
        ::Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__); \
        throw;                                                                               \
    }
