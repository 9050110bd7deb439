// Speed of the volume algorithms on a jaw-like phantom: surface generation (every core),
// mesh reduction to a tenth of the triangles and marker detection.
//
//   bench_volume_algorithms [benchmark options]
//       Google Benchmark on a 256 x 256 x 200 phantom made in memory.
//   bench_volume_algorithms --make-phantom FILE NX NY NZ
//       Writes the phantom as raw little-endian uint16 (x fastest) and prints its spacing,
//       iso value and marker ball centres.
//   bench_volume_algorithms --serve FILE NX NY NZ
//       Reads a phantom file, then answers one command a line on standard input with one line
//       of wall-clock seconds, so that bench/compare-vtk can interleave our runs with VTK's:
//         surface               the surface (every core the process may use)
//         reduce                the last surface reduced to a tenth of its triangles
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
    std::shared_ptr<Vexa::IndexedTriangleMesh> surface, reduced;
    const auto balls = ballCentres();
    std::string command;
    while (std::cin >> command)
    {
        if (command == "surface")
        {
            // The last surface goes first, untimed: the peer's timing does not include freeing
            // its previous output either.
            surface.reset();
            const double seconds = secondsOf([&] { surface = surfaceOf(volume); });
            std::cout << "seconds " << seconds << " triangles " << surface->getTriangleCount() << std::endl;
        }
        else if (command == "reduce")
        {
            if (!surface)
                throw std::runtime_error("no surface to reduce");
            const double seconds = secondsOf([&] {
                Vexa::MeshReduction job(surface, surface->getTriangleCount() / 10);
                if (!job.start())
                    throw std::runtime_error("mesh reduction failed: " + job.getErrorMessage());
                reduced = job.getResult();
            });
            std::cout << "seconds " << seconds << " triangles " << reduced->getTriangleCount() << std::endl;
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
            std::cin >> which >> file;
            const auto& mesh = which == "surface" ? surface : reduced;
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

void meshReduction(benchmark::State& state)
{
    static const auto surface = surfaceOf(benchmarkPhantom());
    std::size_t triangles = 0;
    for (auto _ : state)
    {
        Vexa::MeshReduction job(surface, surface->getTriangleCount() / 10);
        if (!job.start())
            state.SkipWithError(job.getErrorMessage().c_str());
        triangles = job.getResult() ? job.getResult()->getTriangleCount() : 0;
    }
    state.counters["input"] = double(surface->getTriangleCount());
    state.counters["triangles"] = double(triangles);
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
