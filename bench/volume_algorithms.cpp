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
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"

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

using Volume = Vexa::VolumeData<unsigned short>;
using Vexa::Vector3D;

// The phantom always covers the same 153.6 x 153.6 x 120 mm; the dimensions set the spacing.
constexpr double extentX = 153.6, extentZ = 120.0;
constexpr unsigned short isoValue = 1400;

double spacingFor(unsigned nx)
{
    return extentX / nx;
}

// Partial volume of a boundary at signed distance d (mm, negative inside) over width w.
double cover(double d, double w)
{
    return std::clamp(0.5 - d / w, 0.0, 1.0);
}

// Ball centres: the reference marker geometry turned and moved in front of the teeth, as a
// marker on a splint would sit.
std::vector<Vector3D> ballCentres()
{
    Vexa::Matrix44<double> m;
    m.setRotation(Vector3D(1.0, 0.15, 0.1), 1.35);
    const auto& geometry = Vexa::getReferenceMarkerGeometry();
    Vector3D mean;
    for (const auto& g : geometry)
        mean += m * g;
    mean = mean / double(geometry.size());
    m.setTranslation(Vector3D(76.8, 126.0, 62.0) - mean);
    std::vector<Vector3D> balls;
    for (const auto& g : geometry)
        balls.push_back(m * g);
    return balls;
}

// Gaussian-like noise (sum of four uniforms) from a hash of the voxel index, so that every
// thread makes the same phantom.
double noise(std::uint64_t i)
{
    std::uint64_t z = i * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    double sum = 0.0;
    for (int k = 0; k < 4; ++k)
        sum += double((z >> (16 * k)) & 0xffff) / 65535.0;
    return (sum - 2.0) * std::sqrt(3.0); // unit variance
}

// Soft tissue, a horseshoe bone arch (cortical rim, cancellous core), fourteen teeth standing
// in it, noise, and six 3 mm marker balls.
std::shared_ptr<Volume> makePhantom(unsigned nx, unsigned ny, unsigned nz)
{
    const double s = spacingFor(nx);
    const double sz = extentZ / nz;
    auto volume = std::make_shared<Volume>(nx, ny, nz, s, s, sz);
    const Vector3D c(76.8, 60.0, 60.0);
    const double ax = 42.0, ay = 50.0;
    struct Tooth
    {
        double x, y, radius;
    };
    std::vector<Tooth> teeth;
    for (int k = 0; k < 14; ++k)
    {
        const double t = std::numbers::pi * (k + 0.5) / 14.0;
        const double molar = std::abs(k - 6.5) > 3.5 ? 1.0 : 0.0;
        teeth.push_back({c.x + ax * std::cos(t), c.y + ay * std::sin(t), 3.0 + 1.3 * molar});
    }
    const auto balls = ballCentres();
    auto fillSlab = [&](unsigned z0, unsigned z1) {
        for (unsigned z = z0; z < z1; ++z)
            for (unsigned y = 0; y < ny; ++y)
                for (unsigned x = 0; x < nx; ++x)
                {
                    const Vector3D p((x + 0.5) * s, (y + 0.5) * s, (z + 0.5) * sz);
                    const Vector3D d = p - c;
                    // Soft tissue: an ellipsoid around the jaw, air outside.
                    const double tissue = (std::hypot(d.x / 62.0, (d.y - 5.0) / 72.0, d.z / 52.0) - 1.0) * 55.0;
                    double v = 1000.0 * cover(tissue, 1.0);
                    // Distance from the arch's centre line: half ellipse in front, straight legs behind.
                    double radial;
                    if (d.y >= 0.0)
                        radial = (std::hypot(d.x / ax, d.y / ay) - 1.0) * 0.5 * (ax + ay);
                    else
                        radial = std::hypot(std::abs(d.x) - ax, std::max(0.0, -d.y - 30.0));
                    const double section = (std::hypot(radial / 6.5, d.z / 13.0) - 1.0) * 7.0;
                    if (section < 1.0)
                    {
                        const double bone = cover(section, 0.8), core = cover(section + 1.6, 0.8);
                        v = v * (1.0 - bone) + bone * (2300.0 * (1.0 - core) + 1700.0 * core);
                    }
                    if (d.z > 4.0 && d.z < 30.0 && d.y > -35.0)
                        for (const Tooth& t : teeth)
                        {
                            const double r = std::hypot(p.x - t.x, p.y - t.y);
                            if (r > t.radius + 1.0)
                                continue;
                            // A column from inside the bone to a rounded crown.
                            const double top = std::max(0.0, d.z - 22.0);
                            const double dist = std::max(std::hypot(r, top) - t.radius, 6.0 - d.z);
                            const double f = cover(dist, 0.8);
                            const double tooth = d.z > 15.0 ? 3100.0 : 2500.0;
                            v = std::max(v, v * (1.0 - f) + tooth * f);
                        }
                    for (const Vector3D& b : balls)
                    {
                        const double dist = (p - b).length() - 1.5;
                        if (dist < 1.0)
                        {
                            const double f = cover(dist, s);
                            v = v * (1.0 - f) + 3800.0 * f;
                        }
                    }
                    const std::uint64_t index = (std::uint64_t(z) * ny + y) * nx + x;
                    v += 50.0 * noise(index);
                    volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(v), 0L, 4095L));
                }
    };
    const unsigned threads = Vexa::ProcessorAffinity::usableCores();
    Vexa::ParallelJobs::run(threads, threads,
                            [&](std::size_t t, unsigned) { fillSlab(unsigned(nz * t / threads), unsigned(nz * (t + 1) / threads)); });
    return volume;
}

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
