#pragma once
// Surfaces for the reduction benchmarks, each made by our surface generation from a smooth
// grey-value field (500 on the surface, rising by 200 per mm inwards), so that they look like
// what the program reduces: a sphere, the sphere with a thin spike, a torus, a flat plate and a
// cylinder with flat caps, plus the sample patient's surface cut for an arch curve.
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/math/Vector3.h"
#include "vexa/volume/VolumeData.h"

#include "JawPhantom.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace ReductionShapes {

using Volume = Vexa::VolumeData<unsigned short>;
using Vexa::Vector3D;

// The surface where distance(p) (signed, mm, negative inside) is zero, over a box of `extent`
// mm around the origin sampled every `spacing` mm.
inline std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceOf(const std::function<double(const Vector3D&)>& distance,
                                                            const Vector3D& extent, double spacing)
{
    const unsigned nx = unsigned(std::ceil(extent.x / spacing)), ny = unsigned(std::ceil(extent.y / spacing)),
                   nz = unsigned(std::ceil(extent.z / spacing));
    auto volume = std::make_shared<Volume>(nx, ny, nz, spacing, spacing, spacing);
    const Vector3D origin = extent * -0.5;
    Vexa::ParallelJobs::run(Vexa::ProcessorAffinity::usableCores(), nz, [&](std::size_t z, unsigned) {
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
            {
                const Vector3D p = origin + Vector3D((x + 0.5) * spacing, (y + 0.5) * spacing, (z + 0.5) * spacing);
                volume->at(x, y, unsigned(z)) =
                    static_cast<unsigned short>(std::clamp(std::lround(500.0 - 200.0 * distance(p)), 0L, 4095L));
            }
    });
    Vexa::MarchingCubes job(volume, 500, origin);
    if (!job.start())
        throw std::runtime_error("surface generation failed: " + job.getErrorMessage());
    return job.getResult();
}

inline double sphere(const Vector3D& p)
{
    return p.length() - 34.0;
}

// A segment from a to b with a radius.
inline double capsule(const Vector3D& p, const Vector3D& a, const Vector3D& b, double radius)
{
    const Vector3D ab = b - a;
    const double t = std::clamp((p - a).dot(ab) / ab.squaredLength(), 0.0, 1.0);
    return (p - (a + ab * t)).length() - radius;
}

// The cut surface of the sample patient as Generate 3D makes it for the panoramic curve clicked
// at (0.3, 0.6), (0.5, 0.35), (0.7, 0.6) of the axial view (tools/make_sample_patient.py, 256 x
// 256 x 160 voxels of 0.35 mm): the box around the curve's band, voxels [35, 221) x [20, 189)
// and the full height, at the sample's default threshold (the mean of its voxels, 642). At that
// threshold only the soft tissue (the bone, teeth and nerve lie within it) and the marker balls
// above it make the surface: 298,740 triangles, the same as the sample's, their corners within
// 0.03 mm of its (the noise is another of the same strength); where the box cuts the tissue
// off it has large flat caps.
inline std::shared_ptr<Vexa::IndexedTriangleMesh> sampleCutSurface()
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
                value += noiseDeviation * JawPhantom::noise(index);
                volume->at(i, j, k) = static_cast<unsigned short>(std::clamp(std::round(value), 0.0, 4095.0));
            }
    Vexa::MarchingCubes job(volume, threshold, Vector3D(first[0] * spacing, first[1] * spacing, first[2] * spacing));
    if (!job.start())
        throw std::runtime_error("surface generation failed: " + job.getErrorMessage());
    return job.getResult();
}

// One of: sphere (radius 34 mm), spike (the sphere with a needle of 0.6 mm radius standing
// 3 mm out of it), torus (radii 30 and 8 mm), plate (60 x 40 x 6 mm), cylinder (radius 20 mm,
// 40 mm long, flat caps), cut (the sample's cut surface). Empty for another name.
inline std::shared_ptr<Vexa::IndexedTriangleMesh> shape(const std::string& name)
{
    if (name == "sphere")
        return surfaceOf(sphere, Vector3D(74, 74, 74), 0.5);
    if (name == "spike")
        return surfaceOf(
            [](const Vector3D& p) {
                return std::min(sphere(p), capsule(p, Vector3D(0, 0, 28.0), Vector3D(0, 0, 36.4), 0.6));
            },
            Vector3D(74, 74, 80), 0.5);
    if (name == "torus")
        return surfaceOf([](const Vector3D& p) { return std::hypot(std::hypot(p.x, p.y) - 30.0, p.z) - 8.0; },
                         Vector3D(82, 82, 20), 0.5);
    if (name == "plate")
        return surfaceOf(
            [](const Vector3D& p) {
                const Vector3D q(std::abs(p.x) - 30.0, std::abs(p.y) - 20.0, std::abs(p.z) - 3.0);
                const Vector3D outside(std::max(q.x, 0.0), std::max(q.y, 0.0), std::max(q.z, 0.0));
                return outside.length() + std::min(std::max(q.x, std::max(q.y, q.z)), 0.0);
            },
            Vector3D(64, 44, 10), 0.4);
    if (name == "cylinder")
        return surfaceOf(
            [](const Vector3D& p) {
                const double radial = std::hypot(p.x, p.y) - 20.0, axial = std::abs(p.z) - 20.0;
                return std::hypot(std::max(radial, 0.0), std::max(axial, 0.0)) +
                       std::min(std::max(radial, axial), 0.0);
            },
            Vector3D(44, 44, 44), 0.35);
    if (name == "cut")
        return sampleCutSurface();
    return {};
}

}
