// Speed of the volume algorithms on a jaw-like phantom: surface generation (every core),
// mesh reduction to a tenth of the triangles and marker detection; and the reduction of the
// sample patient's surface as Generate 3D cuts it for a curve across the arch's inside, whose
// large flat caps the reduction must take in its stride.
//
//   bench_volume_algorithms [benchmark options]
//       Google Benchmark on a 256 x 256 x 200 phantom and the sample's surface, made in memory.
//   bench_volume_algorithms --make-phantom FILE NX NY NZ
//       Writes the phantom as raw little-endian uint16 (x fastest) and prints its spacing,
//       iso value and marker ball centres.
//   bench_volume_algorithms --serve FILE NX NY NZ
//       Reads a phantom file, then answers one command a line on standard input with one line
//       of wall-clock seconds, so that bench/compare-vtk can interleave our runs with VTK's:
//         surface               the surface (every core the process may use)
//         cut                   the sample's surface (untimed), as the last surface
//         reduce [TARGET]       the last surface reduced to TARGET triangles (by default a
//                               tenth of its triangles)
//         markers               marker detection (and the largest error in mm)
//         write surface|reduced FILE   the last mesh of that kind, as tests/tools/vtk_oracle.py reads
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/ProcessorAffinity.h"

#include "JawPhantom.h"

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

// The mesh format of tests/tools/vtk_oracle.py.
void writeMesh(const Vexa::IndexedTriangleMesh& mesh, const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    const std::uint32_t counts[2] = {std::uint32_t(mesh.getVertexCount()), std::uint32_t(mesh.getTriangleCount())};
    out.write(reinterpret_cast<const char*>(counts), sizeof counts);
    out.write(reinterpret_cast<const char*>(mesh.getVertices().data()), std::streamsize(mesh.getVertices().size() * 8));
    out.write(reinterpret_cast<const char*>(mesh.getTriangles().data()),
              std::streamsize(mesh.getTriangles().size() * 4));
    if (!out)
        throw std::runtime_error("cannot write " + file);
}

std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceOf(std::shared_ptr<const Volume> volume)
{
    Vexa::MarchingCubes job(std::move(volume), isoValue);
    if (!job.start())
        throw std::runtime_error("surface generation failed: " + job.getErrorMessage());
    return job.getResult();
}

// The sample patient (tools/make_sample_patient.py, 256 x 256 x 160 voxels of 0.35 mm) cut and
// surfaced as Generate 3D does for the panoramic curve clicked at (0.3, 0.6), (0.5, 0.35),
// (0.7, 0.6) of the axial view: the box around the curve's band, voxels [35, 221) x [20, 189)
// and the full height, at the sample's default threshold (the mean of its voxels, 642). At that
// threshold only the soft tissue (the bone, teeth and nerve lie within it) and the marker balls
// above it make the surface: 298,740 triangles, the same as the sample's, their corners within
// 0.03 mm of its (the noise is another of the same strength); where the box cuts the tissue
// off it has large flat caps.
std::shared_ptr<Vexa::IndexedTriangleMesh> sampleCutSurface()
{
    constexpr unsigned dims = 256, first[3] = {35, 20, 0}, size[3] = {186, 169, 160};
    constexpr double spacing = 0.35, origin = -(dims - 1.0) * spacing / 2; // patient mm of voxel 0
    constexpr double air = 24, tissue = 1064, ball = 4024, noiseDeviation = 15;
    constexpr unsigned short threshold = 642;
    constexpr double ballRadius = 1.5, tissueTop = 42.0;
    // The marker ball centres in patient millimetres, as the sample places them.
    const Vector3D balls[] = {{-5.521637885242072, -34.56826818515999, 52.15463606883871},
                              {14.467954498199127, 2.4251081823644594, 45.46462102591441},
                              {-21.351009045127412, 14.36363567120138, 44.741148787241876},
                              {-12.721246013747837, 10.970920684600362, 44.99936389510214},
                              {2.1987190301824526, -8.784984437500306, 47.7028534723809},
                              {22.927219415735745, -8.406411915505917, 46.93737675052195}};
    auto volume = std::make_shared<Volume>(size[0], size[1], size[2], spacing, spacing, spacing);
    for (unsigned k = 0; k < size[2]; ++k)
        for (unsigned j = 0; j < size[1]; ++j)
            for (unsigned i = 0; i < size[0]; ++i)
            {
                const double x = origin + spacing * (first[0] + i), y = origin + spacing * (first[1] + j);
                const double z = spacing * (first[2] + k);
                const double head = (x / 44.0) * (x / 44.0) + ((y + 3.0) / 42.0) * ((y + 3.0) / 42.0);
                double value = z < tissueTop && head < 1.0 ? tissue : air;
                for (const Vector3D& b : balls)
                    if (std::abs(z - b.z) < ballRadius &&
                        (x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) + (z - b.z) * (z - b.z) < ballRadius * ballRadius)
                        value = ball;
                const std::uint64_t index = ((std::uint64_t(first[2] + k) * dims) + first[1] + j) * dims + first[0] + i;
                value += noiseDeviation * noise(index);
                volume->at(i, j, k) = static_cast<unsigned short>(std::clamp(std::round(value), 0.0, 4095.0));
            }
    Vexa::MarchingCubes job(volume, threshold, Vector3D(first[0] * spacing, first[1] * spacing, first[2] * spacing));
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

// Wall-clock seconds of one run.
double secondsOf(const std::function<void()>& body)
{
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int serveMode(int argc, char** argv)
{
    if (argc != 6)
        throw std::runtime_error("usage: --serve FILE NX NY NZ");
    const auto volume = readPhantom(argv[2], unsigned(std::stoul(argv[3])), unsigned(std::stoul(argv[4])),
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
            // The last surface goes first, untimed: the peer's timing does not include freeing
            // its previous output either.
            surface.reset();
            const double seconds = secondsOf([&] { surface = surfaceOf(volume); });
            std::cout << "seconds " << seconds << " triangles " << surface->getTriangleCount() << std::endl;
        }
        else if (command == "cut")
        {
            surface.reset();
            surface = sampleCutSurface();
            std::cout << "triangles " << surface->getTriangleCount() << std::endl;
        }
        else if (command == "reduce")
        {
            if (!surface)
                throw std::runtime_error("no surface to reduce");
            std::size_t target = surface->getTriangleCount() / 10;
            words >> target;
            const double seconds = secondsOf([&] { reduction = reduced(surface, target); });
            std::cout << "seconds " << seconds << " triangles " << reduction->getTriangleCount() << std::endl;
        }
        else if (command == "markers")
        {
            std::vector<Vector3D> markers;
            const double seconds = secondsOf([&] {
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

// Google Benchmark mode: one phantom for all three benchmarks, made on first use.
std::shared_ptr<const Volume> benchmarkPhantom()
{
    static const std::shared_ptr<const Volume> phantom = makePhantom(256, 256, 200);
    return phantom;
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
              std::size_t target)
{
    std::size_t triangles = 0;
    for (auto _ : state)
    {
        Vexa::MeshReduction job(surface, target);
        if (!job.start())
            state.SkipWithError(job.getErrorMessage().c_str());
        triangles = job.getResult() ? job.getResult()->getTriangleCount() : 0;
    }
    state.counters["input"] = double(surface->getTriangleCount());
    state.counters["triangles"] = double(triangles);
}

void meshReduction(benchmark::State& state)
{
    static const std::shared_ptr<const Vexa::IndexedTriangleMesh> surface = surfaceOf(benchmarkPhantom());
    reduceIn(state, surface, surface->getTriangleCount() / 10);
}

// As Generate 3D reduces the sample's surface: to the default target.
void meshReductionOfSampleCut(benchmark::State& state)
{
    static const std::shared_ptr<const Vexa::IndexedTriangleMesh> surface = sampleCutSurface();
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
