// Speed of the slice textures: filling the texel buffer of an axial and an oblique 512 x 512
// slice of a 512 x 512 x 400 volume and every slice of a 30-corner panoramic curve (one
// thread), the texture memory while stepping an axial view through all 400 slices, and a
// panoramic and a cross-sectional redraw from the texture cache.
//
//   bench_slice_textures [benchmark options]
//       Google Benchmark of the two fills on a phantom made in memory.
//   bench_slice_textures --make-phantom FILE
//       Writes the phantom as raw little-endian uint16 (x fastest); prints "spacing S".
//   bench_slice_textures --time FILE REPEATS OUT_PREFIX
//       Best-of wall times of the two fills on the phantom file ("axial_seconds T",
//       "oblique_seconds T"), each frame's 16 numbers ("axial_frame ...", column-major) and the
//       window ("window LOW HIGH"); writes the greys of both slices to OUT_PREFIX.axial and
//       OUT_PREFIX.oblique for bench/compare-views. The panoramic set: "panoramic_seconds T"
//       (all slices) and one "panoramic_slice W H USED_W USED_H FRAME..." line per slice. With a
//       display it also steps an axial view's visualizer through every slice in a GL context,
//       "peak_texture_bytes B", and times redraws whose textures are all cached:
//       "cached_panoramic_seconds T", "cached_cross_sections_seconds T".
#include "planning/objects/PanoramicLine.h"
#include "views/slice/VolumeSliceVisualizer.h"

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Volume = Vexa::VolumeData<unsigned short>;
using Visualizer = Vexa::VolumeSliceVisualizer<unsigned short>;
using Vexa::Matrix44;
using Vexa::Vector3D;

constexpr unsigned nx = 512, ny = 512, nz = 400;
constexpr double spacing = 0.3;
constexpr int low = 200, high = 3200;

std::shared_ptr<Volume> makePhantom()
{
    auto volume = std::make_shared<Volume>(nx, ny, nz, spacing, spacing, spacing, Volume::Uninitialized{});
    unsigned short* v = volume->getVoxels();
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x) {
                const int dx = int(x) - 256, dy = int(y) - 256, dz = int(z) - 200;
                const bool ball = dx * dx + dy * dy + dz * dz < 150 * 150;
                *v++ = static_cast<unsigned short>((ball ? 1800 : 300) + (x * 7 + y * 13 + z * 3) % 700);
            }
    return volume;
}

std::shared_ptr<Volume> readPhantom(const std::string& file)
{
    auto volume = std::make_shared<Volume>(nx, ny, nz, spacing, spacing, spacing, Volume::Uninitialized{});
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    if (!in)
        throw std::runtime_error("cannot read " + file);
    return volume;
}

// 512 texels along each edge: the edge's length over its largest step through the voxels.
Vexa::Size2<double> sliceSize(const Matrix44<double>& frame)
{
    const auto edge = [](const Vector3D& axis) {
        return 512 * spacing / std::max({std::abs(axis.x), std::abs(axis.y), std::abs(axis.z)});
    };
    return Vexa::Size2<double>(edge(frame.getColumn(0)), edge(frame.getColumn(1)));
}

Matrix44<double> axialFrame()
{
    return Matrix44<double>(Vector3D(0.0, 0.0, 200.5 * spacing));
}

// Turned by about 30 degrees out of the axial plane, through the volume's centre.
Matrix44<double> obliqueFrame()
{
    Matrix44<double> frame;
    frame.setRotation(Vector3D(1.0, 1.0, 0.5), 0.5);
    const Vector3D centre(nx * spacing / 2, ny * spacing / 2, nz * spacing / 2);
    const auto size = sliceSize(frame);
    frame.setTranslation(centre - frame.rotate(Vector3D(size.width / 2, size.height / 2, 0.0)));
    return frame;
}

// A U-shaped arch of 30 corners, about 140 mm long, on the volume's floor, as the Model holds
// its panoramic curve.
std::vector<std::shared_ptr<Vexa::Slice>> panoramicSlices()
{
    const Matrix44<double> lineFrame(Vector3D(1, 0, 0), Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D());
    auto line = PanoramicLine::create(lineFrame, 12.0, 2.0, 4.0);
    line->setHeight(nz * spacing);
    std::vector<Vector3D> corners;
    const Vector3D centre(nx * spacing / 2, ny * spacing / 2 - 10.0, 0.0);
    for (int k = 0; k < 30; ++k) {
        const double a = M_PI * (1.0 + 1.1 * k / 29.0 - 0.05);
        corners.emplace_back(centre.x + 38.0 * std::cos(a), centre.y + 38.0 * std::sin(a) * 1.2, 0.0);
    }
    line->setPoints(corners);
    return line->getSlices();
}

// 24 mm wide, the volume's height, across the curve: five of them.
std::vector<std::shared_ptr<Vexa::Slice>> crossSections()
{
    std::vector<std::shared_ptr<Vexa::Slice>> sections;
    for (int k = 0; k < 5; ++k) {
        Matrix44<double> frame(Vector3D(1, 0, 0), Vector3D(0, 0, 1), Vector3D(0, -1, 0),
                               Vector3D(30.0 + 20.0 * k, 40.0, 0.0));
        sections.push_back(Vexa::Slice::create(frame, Vexa::Size2<double>(24.0, nz * spacing)));
    }
    return sections;
}

struct Fill
{
    explicit Fill(std::shared_ptr<Volume> volume, const Matrix44<double>& frame)
        : Fill(std::move(volume), frame, sliceSize(frame))
    {
    }
    Fill(std::shared_ptr<Volume> volume, const Matrix44<double>& frame, const Vexa::Size2<double>& size)
        : visualizer(std::move(volume)), frame(frame), size(size)
    {
        visualizer.getFunction().setWindow(low, high);
        layout = visualizer.computeTextureSize(frame, size, 16384);
        buffer.resize(std::size_t(layout.size.width) * layout.size.height);
    }
    void run() { visualizer.fillTextureBuffer(frame, size, layout, buffer.data()); }

    Visualizer visualizer;
    Matrix44<double> frame;
    Vexa::Size2<double> size;
    Visualizer::Layout layout;
    std::vector<std::uint16_t> buffer;
};

std::shared_ptr<Volume> sharedPhantom()
{
    static const std::shared_ptr<Volume> phantom = makePhantom();
    return phantom;
}

void fillAxial(benchmark::State& state)
{
    Fill fill(sharedPhantom(), axialFrame());
    for (auto _ : state)
        fill.run();
}

void fillOblique(benchmark::State& state)
{
    Fill fill(sharedPhantom(), obliqueFrame());
    for (auto _ : state)
        fill.run();
}

double bestOf(int repeats, Fill& fill)
{
    double best = 1e9;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        fill.run();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void printFrame(const char* name, const Matrix44<double>& m)
{
    std::printf("%s", name);
    for (int i = 0; i < 16; ++i)
        std::printf(" %.17g", m[i]);
    std::printf("\n");
}

void writeGreys(const Fill& fill, const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    for (unsigned j = 0; j < fill.layout.used.height; ++j)
        for (unsigned i = 0; i < fill.layout.used.width; ++i)
            out.put(char(fill.buffer[std::size_t(j) * fill.layout.size.width + i] & 0xFF));
}

// An axial view stepping through every slice, with the cache limit the ortho view sets (the
// number of slices) and the byte cap of a view.
long long peakTextureBytes(int argc, char** argv, std::shared_ptr<Volume> volume, int repeats)
{
    if (!std::getenv("DISPLAY"))
        return -1;
    QGuiApplication app(argc, argv);
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    QOffscreenSurface surface;
    surface.setFormat(format);
    surface.create();
    QOpenGLContext context;
    context.setFormat(format);
    if (!context.create() || !context.makeCurrent(&surface))
        return -1;
    long long peak = 0;
    {
        Visualizer visualizer(volume);
        visualizer.setTextureCacheLimit(nz);
        visualizer.setTextureByteLimit(std::size_t(64) << 20);
        for (unsigned z = 0; z < nz; ++z)
            visualizer.createTexture(Vexa::Slice::create(Matrix44<double>(Vector3D(0, 0, (z + 0.5) * spacing)),
                                                         Vexa::Size2<double>(nx * spacing, ny * spacing)));
        peak = static_cast<long long>(visualizer.getPeakTextureBytes());
    }
    // Redraws whose textures are all cached: what a paint costs when nothing changed.
    for (const auto& [name, slices] : {std::pair<const char*, std::vector<std::shared_ptr<Vexa::Slice>>>{
                                           "cached_panoramic_seconds", panoramicSlices()},
                                       {"cached_cross_sections_seconds", crossSections()}}) {
        Visualizer visualizer(volume);
        visualizer.setTextureCacheLimit(unsigned(2 * slices.size()));
        for (const auto& slice : slices)
            visualizer.createTexture(slice);
        double best = 1e9;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            for (const auto& slice : slices)
                visualizer.createTexture(slice);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::printf("%s %.9f\n", name, best);
    }
    context.doneCurrent();
    return peak;
}

}

BENCHMARK(fillAxial)->Unit(benchmark::kMillisecond);
BENCHMARK(fillOblique)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    try {
        if (argc == 3 && std::strcmp(argv[1], "--make-phantom") == 0) {
            const auto volume = makePhantom();
            std::ofstream out(argv[2], std::ios::binary);
            out.write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
            std::printf("spacing %g\n", spacing);
            return out ? 0 : 1;
        }
        if (argc == 5 && std::strcmp(argv[1], "--time") == 0) {
            const auto volume = readPhantom(argv[2]);
            const int repeats = std::max(1, std::atoi(argv[3]));
            Fill axial(volume, axialFrame()), oblique(volume, obliqueFrame());
            std::printf("axial_seconds %.6f\n", bestOf(repeats, axial));
            std::printf("oblique_seconds %.6f\n", bestOf(repeats, oblique));
            printFrame("axial_frame", axial.frame);
            printFrame("oblique_frame", oblique.frame);
            for (const auto& [name, fill] : {std::pair<const char*, Fill*>{"axial", &axial}, {"oblique", &oblique}})
                std::printf("%s_size %u %u %.17g %.17g\n", name, fill->layout.used.width, fill->layout.used.height,
                            fill->size.width, fill->size.height);
            std::printf("window %d %d\n", low, high);
            std::vector<std::unique_ptr<Fill>> panoramic;
            for (const auto& slice : panoramicSlices())
                panoramic.push_back(std::make_unique<Fill>(volume, slice->getTransform(), slice->getSize()));
            double best = 1e9;
            for (int i = 0; i < repeats; ++i) {
                const auto start = std::chrono::steady_clock::now();
                for (auto& fill : panoramic)
                    fill->run();
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            std::printf("panoramic_seconds %.6f\n", best);
            for (auto& fill : panoramic) {
                std::printf("panoramic_slice %.17g %.17g %u %u", fill->size.width, fill->size.height,
                            fill->layout.used.width, fill->layout.used.height);
                for (int k = 0; k < 16; ++k)
                    std::printf(" %.17g", fill->frame[k]);
                std::printf("\n");
            }
            writeGreys(axial, std::string(argv[4]) + ".axial");
            writeGreys(oblique, std::string(argv[4]) + ".oblique");
            std::fflush(stdout);
            std::printf("peak_texture_bytes %lld\n", peakTextureBytes(argc, argv, volume, repeats));
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
