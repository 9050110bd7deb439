#include "vexa/core/ParallelJobs.h"

#include "common/RefusedThreadStarts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using Vexa::ParallelJobs;

namespace {

// Runs count jobs on `threads` threads; fails the test unless every job ran once, on a thread
// number below `threads`, and no two jobs ran at once on one thread number.
void expectEachJobOnce(unsigned threads, std::size_t count)
{
    std::vector<std::atomic<int>> runs(count);
    std::vector<std::atomic<int>> busy(std::max(1u, threads));
    std::atomic<bool> fault{false};
    ParallelJobs::run(threads, count, [&](std::size_t i, unsigned thread) {
        if (thread >= std::max(1u, threads) || busy[thread]++ != 0)
            fault = true;
        ++runs[i];
        --busy[thread];
    });
    EXPECT_FALSE(fault) << threads << " threads, " << count << " jobs";
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(runs[i], 1) << "job " << i << " of " << count << " on " << threads << " threads";
}

}

TEST(ParallelJobs, EveryJobRunsOnceAlsoNestedConcurrentAndAfterAFailure)
{
    for (const auto& [threads, count] : std::vector<std::pair<unsigned, std::size_t>>{
             {0, 5}, {1, 7}, {2, 1}, {3, 1000}, {8, 3}, {16, 200}, {4, 0}})
        expectEachJobOnce(threads, count);

    // A failing job stops the run and its exception reaches the caller; the threads stay usable.
    EXPECT_THROW(ParallelJobs::run(4, 100, [](std::size_t i, unsigned) {
                     if (i == 17)
                         throw std::runtime_error("job 17");
                 }),
                 std::runtime_error);
    expectEachJobOnce(4, 100);

    // Runs from inside a job and from several threads at once get threads of their own.
    ParallelJobs::run(3, 6, [](std::size_t, unsigned) { expectEachJobOnce(3, 20); });
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([] {
            for (int r = 0; r < 20; ++r)
                expectEachJobOnce(4, 50);
        });
    for (auto& t : callers)
        t.join();
}

TEST(ParallelJobs, ThreadsTheSystemRefusesLeaveTheJobsToTheOthers)
{
    // More than the kept threads can be: other runs ask for the cores or a few, and the kept
    // threads grow by what the system starts (also when the test repeats).
    static unsigned kept = Vexa::ProcessorAffinity::usableCores() + 64;
    for (int allowed = 0; allowed <= 6; ++allowed) {
        {
            TestSupport::RefusedThreadStarts refusal(allowed);
            expectEachJobOnce(kept + unsigned(allowed) + 2, 4000);
            kept += unsigned(allowed);
            EXPECT_EQ(refusal.started(), allowed);
            EXPECT_EQ(refusal.refused(), 1) << "no start is tried after a refused one";
        }
        // A run inside a job starts 5 threads of its own.
        ParallelJobs::run(2, 2, [allowed](std::size_t job, unsigned) {
            if (job != 0)
                return;
            TestSupport::RefusedThreadStarts refusal(allowed);
            expectEachJobOnce(6, 300);
            EXPECT_EQ(refusal.started(), std::min(allowed, 5));
            EXPECT_EQ(refusal.refused(), allowed < 5 ? 1 : 0);
        });
    }
}
