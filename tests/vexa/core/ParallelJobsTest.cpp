#include "vexa/core/ParallelJobs.h"

#include <gtest/gtest.h>

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
