#include "vexa/core/ParallelJobs.h"

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <sched.h>
#include <semaphore>
#include <system_error>
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
// threads wakes one helper, not all of them.
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
        const unsigned helpers = std::min<unsigned>(threads - 1, grow(threads - 1));
        batch_ = &batch;
        pending_.store(helpers, std::memory_order_relaxed);
        for (unsigned i = 0; i < helpers; ++i)
            workers_[i]->go.release();
        batch.work(0);
        if (helpers > 0)
            finished_.acquire();
        batch_ = nullptr;
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    struct Worker
    {
        std::binary_semaphore go{0};
        bool quit = false;
        std::thread thread;
    };

    // At least `wanted` helpers where the system lets us start them; returns how many there are.
    unsigned grow(unsigned wanted)
    {
        while (workers_.size() < wanted) {
            auto worker = std::make_unique<Worker>();
            const unsigned slot = unsigned(workers_.size());
            try {
                worker->thread = std::thread([this, w = worker.get(), slot] { serve(*w, slot + 1); });
            } catch (const std::system_error&) {
                break; // the helpers there are take all the jobs
            }
            workers_.push_back(std::move(worker));
        }
        return unsigned(workers_.size());
    }

    void serve(Worker& self, unsigned thread)
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
            batch_->work(thread);
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1)
                finished_.release();
        }
    }

    std::atomic<bool> busy_{false};
    std::vector<std::unique_ptr<Worker>> workers_; // changed only by the run that holds busy_
    Batch* batch_ = nullptr;
    std::atomic<unsigned> pending_{0};
    std::binary_semaphore finished_{0};
};

// Threads of its own for a run that cannot have the pool.
void runOnFreshThreads(unsigned threads, Batch& batch)
{
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 1; t < threads; ++t)
            pool.emplace_back([&batch, t] { batch.work(t); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for: the ones there are take all the jobs.
    }
    batch.work(0);
    for (auto& t : pool)
        t.join();
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
