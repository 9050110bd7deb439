#include "vexa/core/ParallelJobs.h"

#include "vexa/core/ThreadTeam.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <sched.h>
#include <semaphore>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Vexa {

namespace {

// One run's jobs, taken in turn by every thread that works on them.
struct Batch
{
    Batch(std::size_t count, void (*call)(void*, std::size_t, unsigned), void* context)
        : count(count), call(call), context(context)
    {
    }

    std::size_t count;
    void (*call)(void*, std::size_t, unsigned);
    void* context;
    std::atomic<std::size_t> next{0};
    std::mutex failureMutex;
    std::exception_ptr failure;

    void work(unsigned thread)
    {
        try {
            for (std::size_t i = next++; i < count; i = next++)
                call(context, i, thread);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failureMutex);
            if (!failure)
                failure = std::current_exception();
            next = count;
        }
    }
};

// The process's threads that wait for runs. Each has its own signal, so that a run on two
// threads wakes one helper, not all of them. A woken helper joins the run only while it is
// open: once the calling thread has run out of jobs it closes the run and waits just for the
// helpers still at a job, not for those the system has not yet let start (on a busy machine
// that can take longer than the whole run).
class WorkerPool
{
public:
    static WorkerPool& instance()
    {
        static WorkerPool pool;
        return pool;
    }

    ~WorkerPool()
    {
        for (auto& w : workers_) {
            w->quit = true;
            w->go.release();
        }
        for (auto& w : workers_)
            w->thread.join();
    }

    // Runs the batch on the calling thread and up to threads - 1 helpers; false (nothing run)
    // while the pool serves another run.
    bool tryRun(unsigned threads, Batch& batch)
    {
        bool idle = false;
        if (!busy_.compare_exchange_strong(idle, true, std::memory_order_acquire))
            return false;
        const unsigned helpers = std::min<unsigned>({threads - 1, grow(threads - 1), maxHelpers});
        batch_ = &batch;
        wanted_.store(helpers, std::memory_order_relaxed);
        ticket_.store(std::uint64_t(++run_) << 32, std::memory_order_release);
        for (unsigned i = 0; i < helpers; ++i)
            workers_[i]->go.release();
        batch.work(0);
        std::uint64_t t = ticket_.fetch_or(closed, std::memory_order_acq_rel) | closed;
        while (t & insideMask) {
            ticket_.wait(t, std::memory_order_acquire);
            t = ticket_.load(std::memory_order_acquire);
        }
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    // The state of the current run: its number (high 32 bits), whether it is closed, how many
    // helpers have joined it and how many of them are still at work.
    static constexpr std::uint64_t closed = std::uint64_t(1) << 31;
    static constexpr std::uint64_t joinedOne = std::uint64_t(1) << 16;
    static constexpr std::uint64_t insideMask = joinedOne - 1;
    static constexpr unsigned maxHelpers = 32767;
    static unsigned joinedOf(std::uint64_t t) { return unsigned(t >> 16 & 0x7fff); }

    struct Worker
    {
        std::counting_semaphore<> go{0};
        std::atomic<bool> quit{false};
        std::thread thread;
    };

    // At least `wanted` helpers where the system lets us start them; returns how many there are.
    unsigned grow(unsigned wanted)
    {
        while (workers_.size() < std::min(wanted, maxHelpers)) {
            // Room first: a started helper must never be dropped unjoined.
            std::unique_ptr<Worker> worker;
            try {
                workers_.reserve(workers_.size() + 1);
                worker = std::make_unique<Worker>();
            } catch (const std::bad_alloc&) {
                break;
            }
            if (!ThreadTeam::start("Parallel jobs", worker->thread, [this, w = worker.get()] { serve(*w); }))
                break; // the helpers there are take all the jobs
            workers_.push_back(std::move(worker));
        }
        return unsigned(workers_.size());
    }

    void serve(Worker& self)
    {
        // A helper started by a pinned thread would inherit its single core; the helpers
        // belong to the process, so they take the process's cores.
        cpu_set_t cores;
        if (sched_getaffinity(getpid(), sizeof cores, &cores) == 0)
            sched_setaffinity(0, sizeof cores, &cores);
        for (;;) {
            self.go.acquire();
            if (self.quit)
                return;
            // Join the current run while it is open and short of helpers. The joined count
            // gives each helper its thread number; a failed exchange means another helper
            // joined, or a newer run began (whose own count `wanted` may already hold).
            std::uint64_t t = ticket_.load(std::memory_order_acquire);
            bool joined = false;
            while (!(t & closed) && joinedOf(t) < wanted_.load(std::memory_order_relaxed)) {
                if (ticket_.compare_exchange_weak(t, t + joinedOne + 1, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
                    joined = true;
                    break;
                }
            }
            if (!joined)
                continue;
            batch_->work(joinedOf(t) + 1);
            t = ticket_.fetch_sub(1, std::memory_order_acq_rel) - 1;
            if ((t & closed) && !(t & insideMask))
                ticket_.notify_all();
        }
    }

    std::atomic<bool> busy_{false};
    std::vector<std::unique_ptr<Worker>> workers_; // changed only by the run that holds busy_
    std::uint32_t run_ = 0;
    Batch* batch_ = nullptr;
    std::atomic<unsigned> wanted_{0};
    std::atomic<std::uint64_t> ticket_{closed};
};

// Threads of its own for a run that cannot have the pool. Fewer threads than asked for take all
// the jobs: the calling thread's share leaves none to those that did not start.
void runOnFreshThreads(unsigned threads, Batch& batch)
{
    ThreadTeam::run("Parallel jobs", threads, [&batch](unsigned t) { batch.work(t); });
}

}

void ParallelJobs::dispatch(unsigned threads, std::size_t count, Call call, void* context)
{
    Batch batch(count, call, context);
    if (threads <= 1)
        batch.work(0);
    else if (!WorkerPool::instance().tryRun(threads, batch))
        runOnFreshThreads(threads, batch);
    if (batch.failure)
        std::rethrow_exception(batch.failure);
}

}
