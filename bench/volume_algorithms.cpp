// Speed of the volume algorithms on a jaw-like phantom: surface generation (every core),
// mesh reduction to a tenth of the triangles and marker detection; the reduction of the
// sample patient's surface as Generate 3D cuts it for a curve across the arch's inside, whose
// large flat caps the reduction must take in its stride; and deep cuts of some shapes of
// bench/ReductionShapes.h, with the Hausdorff distance of the result from its input.
//
//   bench_volume_algorithms [benchmark options]
//       Google Benchmark on a 256 x 256 x 200 phantom and the sample's surface, made in memory.
//   bench_volume_algorithms --make-phantom FILE NX NY NZ
//       Writes the phantom as raw little-endian uint16 (x fastest) and prints its spacing,
//       iso value and marker ball centres.
//   bench_volume_algorithms --serve [FILE NX NY NZ]
//       Reads a phantom file (if given), then answers one command a line on standard input with
//       one line of words and numbers, so that bench/compare-vtk and bench/compare-reduction
//       can interleave our runs with VTK's:
//         surface               the phantom file's surface (every core the process may use);
//                               answers the wall-clock seconds
//         cut                   the sample's surface (untimed), as the last surface
//         shape NAME            (untimed) as the last surface: sphere, spike, torus, plate,
//                               cylinder, cut (bench/ReductionShapes.h) or phantom (the surface
//                               of the 256 x 256 x 200 phantom)
//         reduce [TARGET]       the last surface reduced to TARGET triangles (by default a
//                               tenth of its triangles); answers the wall-clock seconds
//         markers               marker detection (and the largest error in mm)
//         write surface|reduced FILE   the last mesh of that kind, as tests/tools/vtk_oracle.py reads
//         measure reduced|FILE  our last reduction or the mesh in FILE against the last surface:
//                               its triangles, the Hausdorff distance (bench/MeshMeasure.h), the
//                               faults of a closed manifold mesh and its Euler characteristic
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/ProcessorAffinity.h"

#include "../tests/vexa/algorithm/AlgorithmTestSupport.h"
#include "JawPhantom.h"
#include "MeshMeasure.h"
#include "ReductionShapes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace JawPhantom;

std::shared_ptr<Volume> readPhantom(const std::string& file, unsigned nx, unsigned ny, unsigned nz)
{
    auto volume = std::make_shared<Volume>(nx, ny, nz, spacingFor(nx), spacingFor(nx), extentZ / nz);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    if (!in || in.peek() != std::char_traits<char>::eof())
        throw std::runtime_error("cannot read " + file + " as " + std::to_string(nx) + " x " + std::to_string(ny) +
                                 " x " + std::to_string(nz) + " uint16 voxels");
    return volume;
}

using AlgorithmTestSupport::writeMesh;

// The mesh format of tests/tools/vtk_oracle.py.
std::shared_ptr<Vexa::IndexedTriangleMesh> readMesh(const std::string& file)
{
    auto mesh = AlgorithmTestSupport::readMesh(file);
    if (mesh->getTriangleCount() == 0)
        throw std::runtime_error("cannot read " + file);
    return mesh;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceOf(std::shared_ptr<const Volume> volume)
{
    Vexa::MarchingCubes job(std::move(volume), isoValue);
    if (!job.start())
        throw std::runtime_error("surface generation failed: " + job.getErrorMessage());
    return job.getResult();
}

std::shared_ptr<Vexa::IndexedTriangleMesh> reduced(std::shared_ptr<const Vexa::IndexedTriangleMesh> surface,
                                                   std::size_t target)
{
    Vexa::MeshReduction job(std::move(surface), target);
    if (!job.start())
        throw std::runtime_error("mesh reduction failed: " + job.getErrorMessage());
    return job.getResult();
}

// The 256 x 256 x 200 phantom of the benchmarks, made on first use.
std::shared_ptr<const Volume> benchmarkPhantom()
{
    static const std::shared_ptr<const Volume> phantom = makePhantom(256, 256, 200);
    return phantom;
}

// Wall-clock seconds of one run.
double secondsOf(const std::function<void()>& body)
{
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int serveMode(int argc, char** argv)
{
    if (argc != 6 && argc != 2)
        throw std::runtime_error("usage: --serve [FILE NX NY NZ]");
    const auto volume = argc == 2 ? nullptr
                                  : readPhantom(argv[2], unsigned(std::stoul(argv[3])), unsigned(std::stoul(argv[4])),
                                                unsigned(std::stoul(argv[5])));
    std::cout.precision(6);
    std::cout << "ready threads " << Vexa::ProcessorAffinity::usableCores() << std::endl;
    std::shared_ptr<Vexa::IndexedTriangleMesh> surface, reduction;
    const auto balls = ballCentres();
    std::string line;
    while (std::getline(std::cin, line))
    {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command))
            continue;
        if (command == "surface")
        {
            if (!volume)
                throw std::runtime_error("no phantom file");
            // The last surface goes first, untimed: the peer's timing does not include freeing
            // its previous output either.
            surface.reset();
            const double seconds = secondsOf([&] { surface = surfaceOf(volume); });
            std::cout << "seconds " << seconds << " triangles " << surface->getTriangleCount() << std::endl;
        }
        else if (command == "cut" || command == "shape")
        {
            std::string name = "cut";
            if (command == "shape")
                words >> name;
            surface.reset();
            reduction.reset();
            surface = name == "phantom" ? surfaceOf(benchmarkPhantom()) : ReductionShapes::shape(name);
            if (!surface)
                throw std::runtime_error("no shape " + name);
            std::cout << "triangles " << surface->getTriangleCount() << std::endl;
        }
        else if (command == "measure")
        {
            std::string which;
            words >> which;
            const auto mesh = which == "reduced" ? reduction : readMesh(which);
            if (!surface || !mesh)
                throw std::runtime_error("nothing to measure");
            const auto t = MeshMeasure::topology(*mesh);
            std::cout << "triangles " << mesh->getTriangleCount() << " hausdorff "
                      << MeshMeasure::hausdorffDistance(*surface, *mesh) << " faults "
                      << t.edges + t.degenerate + t.fans << " euler " << t.euler << std::endl;
        }
        else if (command == "reduce")
        {
            if (!surface)
                throw std::runtime_error("no surface to reduce");
            reduction.reset();
            std::size_t target = surface->getTriangleCount() / 10;
            words >> target;
            const double seconds = secondsOf([&] { reduction = reduced(surface, target); });
            std::cout << "seconds " << seconds << " triangles " << reduction->getTriangleCount() << std::endl;
        }
        else if (command == "markers")
        {
            std::vector<Vector3D> markers;
            const double seconds = secondsOf([&] {
                if (!volume)
                    throw std::runtime_error("no phantom file");
                Vexa::MarkerDetection job(volume);
                if (!job.start())
                    throw std::runtime_error("marker detection failed: " + job.getErrorMessage());
                markers = job.getMarkers();
            });
            double worst = markers.size() == balls.size() ? 0.0 : 1e9;
            for (std::size_t i = 0; i < balls.size() && i < markers.size(); ++i)
                worst = std::max(worst, (markers[i] - balls[i]).length());
            std::cout << "seconds " << seconds << " largest_error_mm " << worst << std::endl;
        }
        else if (command == "write")
        {
            std::string which, file;
            words >> which >> file;
            const auto& mesh = which == "surface" ? surface : reduction;
            if (!mesh)
                throw std::runtime_error("no " + which + " mesh to write");
            writeMesh(*mesh, file);
            std::cout << "written" << std::endl;
        }
        else
            throw std::runtime_error("unknown command " + command);
    }
    return 0;
}

int makePhantomMode(int argc, char** argv)
{
    if (argc != 6)
        throw std::runtime_error("usage: --make-phantom FILE NX NY NZ");
    const auto volume =
        makePhantom(unsigned(std::stoul(argv[3])), unsigned(std::stoul(argv[4])), unsigned(std::stoul(argv[5])));
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    if (!out)
        throw std::runtime_error(std::string("cannot write ") + argv[2]);
    std::cout.precision(17);
    std::cout << "spacing " << volume->getSpacingX() << " " << volume->getSpacingY() << " " << volume->getSpacingZ()
              << "\niso " << isoValue << "\n";
    for (const Vector3D& b : ballCentres())
        std::cout << "marker " << b.x << " " << b.y << " " << b.z << "\n";
    return 0;
}

void surfaceGeneration(benchmark::State& state)
{
    const auto volume = benchmarkPhantom();
    std::size_t triangles = 0;
    for (auto _ : state)
        triangles = surfaceOf(volume)->getTriangleCount();
    state.counters["triangles"] = double(triangles);
}

void reduceIn(benchmark::State& state, const std::shared_ptr<const Vexa::IndexedTriangleMesh>& surface,
              std::size_t target, bool measure = false)
{
    std::shared_ptr<Vexa::IndexedTriangleMesh> result;
    for (auto _ : state)
    {
        result.reset();
        Vexa::MeshReduction job(surface, target);
        if (!job.start())
            state.SkipWithError(job.getErrorMessage().c_str());
        result = job.getResult();
    }
    state.counters["input"] = double(surface->getTriangleCount());
    state.counters["triangles"] = result ? double(result->getTriangleCount()) : 0.0;
    if (measure && result)
        state.counters["hausdorff_mm"] = MeshMeasure::hausdorffDistance(*surface, *result);
}

// A deep cut of one of the shapes (bench/compare-reduction sets them against VTK's).
void meshReductionOfShape(benchmark::State& state, const char* name, double share)
{
    static std::map<std::string, std::shared_ptr<const Vexa::IndexedTriangleMesh>> made;
    auto& surface = made[name];
    if (!surface)
        surface = ReductionShapes::shape(name);
    reduceIn(state, surface, std::size_t(std::lround(share * double(surface->getTriangleCount()))), true);
}

void meshReduction(benchmark::State& state)
{
    static const std::shared_ptr<const Vexa::IndexedTriangleMesh> surface = surfaceOf(benchmarkPhantom());
    reduceIn(state, surface, surface->getTriangleCount() / 10);
}

// As Generate 3D reduces the sample's surface: to the default target.
void meshReductionOfSampleCut(benchmark::State& state)
{
    static const std::shared_ptr<const Vexa::IndexedTriangleMesh> surface = ReductionShapes::sampleCutSurface();
    reduceIn(state, surface, Vexa::MeshReduction::defaultTargetTriangleCount);
}

void markerDetection(benchmark::State& state)
{
    const auto volume = benchmarkPhantom();
    for (auto _ : state)
    {
        Vexa::MarkerDetection job(volume);
        if (!job.start())
            state.SkipWithError(job.getErrorMessage().c_str());
    }
}

}

BENCHMARK(surfaceGeneration)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(meshReduction)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(meshReductionOfSampleCut)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(markerDetection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(meshReductionOfShape, sphere_to_1_percent, "sphere", 0.01)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(meshReductionOfShape, spike_to_4_percent, "spike", 0.04)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(meshReductionOfShape, plate_to_10_percent, "plate", 0.1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv)
{
    try
    {
        if (argc > 1 && std::strcmp(argv[1], "--serve") == 0)
            return serveMode(argc, argv);
        if (argc > 1 && std::strcmp(argv[1], "--make-phantom") == 0)
            return makePhantomMode(argc, argv);
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << "\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
