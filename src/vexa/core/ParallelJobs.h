#pragma once
// Runs numbered jobs on a few threads, each job once, the threads taking the next job as they
// finish one. The first exception of any job is rethrown once every thread has ended.
//
// The threads are kept for the life of the process (one pool, grown to the largest number
// asked for, at first as many as the cores the process may run on): starting fresh threads
// for every parallel step costs more than a short step itself, and fresh threads start with
// cold memory (every large block they allocate is faulted in again). A run started while the
// pool serves another one (from another thread, or from inside a job) gets threads of its own.
// Threads the system does not start leave their jobs to the others (vexa/core/ThreadTeam.h).
#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <cstddef>

namespace Vexa {

class ParallelJobs
{
public:
    // fn(index, thread) for index in [0, count), on up to `threads` threads (thread: 0 to
    // threads - 1, which one runs it; the calling thread is thread 0).
    template<class Fn>
    static void run(unsigned threads, std::size_t count, Fn fn)
    {
        if (count == 0)
            return;
        const unsigned n = unsigned(std::min<std::size_t>(std::max(1u, threads), count));
        dispatch(n, count, [](void* context, std::size_t index, unsigned thread) {
            (*static_cast<Fn*>(context))(index, thread);
        }, &fn);
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

private:
    using Call = void (*)(void* context, std::size_t index, unsigned thread);
    static void dispatch(unsigned threads, std::size_t count, Call call, void* context);
};

}
