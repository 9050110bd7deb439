// Surface generation on a 256^3 volume with one thread and with every core. The volume is
// also written to the build tree so that bench/surface_generation_vtk.py can time
// vtkFlyingEdges3D on the same data (an outside anchor for the figures):
//   bench_surface_generation
//   /usr/bin/python3 bench/surface_generation_vtk.py <build>/bench_surface_generation.raw
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/core/ProcessorAffinity.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <thread>

namespace {

constexpr unsigned size = 256;
constexpr double spacing = 0.3;
constexpr unsigned short iso = 1500;

// Irregular smooth object: a thick shell with ripples and lumps, filling most slabs.
std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume()
{
    static const auto made = [] {
        auto v = std::make_shared<Vexa::VolumeData<unsigned short>>(size, size, size, spacing, spacing, spacing);
        const double c = size * spacing / 2;
        for (unsigned z = 0; z < size; ++z)
            for (unsigned y = 0; y < size; ++y)
                for (unsigned x = 0; x < size; ++x)
                {
                    const double px = (x + 0.5) * spacing - c, py = (y + 0.5) * spacing - c, pz = (z + 0.5) * spacing - c;
                    const double r = std::sqrt(px * px + py * py + pz * pz);
                    double value = 1000.0 + 1500.0 * std::max(0.0, 1.0 - std::abs(r - 25.0) / 8.0);
                    value += 400.0 * std::sin(px * 0.7) * std::sin(py * 0.6) * std::sin(pz * 0.5);
                    v->at(x, y, z) = static_cast<unsigned short>(std::clamp(value, 0.0, 4095.0));
                }
        std::ofstream raw(MORVANTA_BINARY_DIR "/bench_surface_generation.raw", std::ios::binary);
        raw.write(reinterpret_cast<const char*>(v->getVoxels()), std::streamsize(v->getVoxelCount() * 2));
        return v;
    }();
    return made;
}

void surfaceGeneration(benchmark::State& state)
{
    const auto data = volume();
    const unsigned threads = unsigned(state.range(0));
    std::size_t triangles = 0;
    for (auto _ : state)
    {
        Vexa::MarchingCubes job(data, iso);
        job.setThreadCount(threads);
        if (!job.start())
            state.SkipWithError(job.getErrorMessage().c_str());
        triangles = job.getResult() ? job.getResult()->getTriangleCount() : 0;
    }
    state.counters["threads"] = threads;
    state.counters["triangles"] = double(triangles);
}

}

BENCHMARK(surfaceGeneration)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(surfaceGeneration)
    ->Arg(Vexa::ProcessorAffinity::usableCores())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
