#pragma once
// Runs numbered jobs on a few threads, each job once, the threads taking the next job as they
// finish one. The first exception of any job is rethrown once every thread has ended.
#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace Vexa {

class ParallelJobs
{
public:
    // fn(index, thread) for index in [0, count), on up to `threads` threads (thread: 0 to
    // threads - 1, which one runs it; the calling thread is thread 0).
    template<class Fn>
    static void run(unsigned threads, std::size_t count, Fn fn)
    {
        std::atomic<std::size_t> nextIndex{0};
        std::exception_ptr failure;
        std::mutex failureMutex;
        auto worker = [&](unsigned thread) {
            try {
                for (std::size_t i = nextIndex++; i < count; i = nextIndex++)
                    fn(i, thread);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                nextIndex = count;
            }
        };
        const unsigned n = unsigned(std::min<std::size_t>(std::max(1u, threads), count));
        std::vector<std::thread> pool;
        try {
            for (unsigned t = 1; t < n; ++t)
                pool.emplace_back(worker, t);
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the ones there are take all the jobs.
        }
        worker(0);
        for (auto& t : pool)
            t.join();
        if (failure)
            std::rethrow_exception(failure);
    }

    // fn(begin, end) for consecutive ranges of about `grain` items covering [0, count), on every
    // core the process may run on.
    template<class Fn>
    static void ranges(std::size_t count, std::size_t grain, Fn fn)
    {
        const std::size_t parts = (count + grain - 1) / grain;
        run(ProcessorAffinity::usableCores(), parts,
            [&](std::size_t part, unsigned) { fn(part * grain, std::min(count, (part + 1) * grain)); });
    }
};

}
