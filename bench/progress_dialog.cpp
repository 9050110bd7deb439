// The cost of the progress dialog: the surface generation on the 512 x 512 x 400 jaw phantom run
// bare and under AlgorithmProgressDialog, alternately in the same run. The counter "ratio" is the
// dialog's total time over the bare total; the dialog's 50 ms poll and worker thread should cost
// no more than 5 % (ratio <= 1.05).
#include "BenchApplication.h"
#include "JawPhantom.h"

#include "shell/dialogs/AlgorithmProgressDialog.h"
#include "vexa/algorithm/MarchingCubes.h"

#include <benchmark/benchmark.h>
#include <chrono>

namespace {

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void surfaceBareAndUnderDialog(benchmark::State& state)
{
    benchApplication();
    static const std::shared_ptr<const JawPhantom::Volume> volume = JawPhantom::makePhantom(512, 512, 400);
    double bare = 0.0, dialog = 0.0;
    std::size_t triangles = 0;
    for (auto _ : state)
    {
        auto t0 = std::chrono::steady_clock::now();
        {
            Vexa::MarchingCubes job(volume, JawPhantom::isoValue);
            if (!job.start())
                state.SkipWithError(job.getErrorMessage().c_str());
            triangles = job.getResult() ? job.getResult()->getTriangleCount() : 0;
        }
        auto t1 = std::chrono::steady_clock::now();
        {
            Vexa::MarchingCubes job(volume, JawPhantom::isoValue);
            AlgorithmProgressDialog progress(&job, QString(), 0, nullptr);
            progress.exec();
            if (!job.getResult() || job.getResult()->getTriangleCount() != triangles)
                state.SkipWithError("the job under the dialog gave another surface");
        }
        auto t2 = std::chrono::steady_clock::now();
        bare += seconds(t1 - t0);
        dialog += seconds(t2 - t1);
    }
    state.counters["bare_s"] = benchmark::Counter(bare, benchmark::Counter::kAvgIterations);
    state.counters["dialog_s"] = benchmark::Counter(dialog, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = dialog / bare;
    state.counters["triangles"] = double(triangles);
}

}

BENCHMARK(surfaceBareAndUnderDialog)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
