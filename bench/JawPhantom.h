#pragma once
// The jaw-like phantom of the volume benchmarks: soft tissue, a horseshoe bone arch, fourteen
// teeth, noise and six marker balls, always over 153.6 x 153.6 x 120 mm.
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/ParallelJobs.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/math/Matrix44.h"
#include "vexa/volume/VolumeData.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

namespace JawPhantom {

using Volume = Vexa::VolumeData<unsigned short>;
using Vexa::Vector3D;

// The phantom always covers the same 153.6 x 153.6 x 120 mm; the dimensions set the spacing.
constexpr double extentX = 153.6, extentZ = 120.0;
constexpr unsigned short isoValue = 1400;

inline double spacingFor(unsigned nx)
{
    return extentX / nx;
}

// Partial volume of a boundary at signed distance d (mm, negative inside) over width w.
inline double cover(double d, double w)
{
    return std::clamp(0.5 - d / w, 0.0, 1.0);
}

// Ball centres: the reference marker geometry turned and moved in front of the teeth, as a
// marker on a splint would sit.
inline std::vector<Vector3D> ballCentres()
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
inline double noise(std::uint64_t i)
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
// in it, noise of the given standard deviation, and six 3 mm marker balls.
inline std::shared_ptr<Volume> makePhantom(unsigned nx, unsigned ny, unsigned nz, double noiseDeviation = 50.0)
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
                    v += noiseDeviation * noise(index);
                    volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(v), 0L, 4095L));
                }
    };
    const unsigned threads = Vexa::ProcessorAffinity::usableCores();
    Vexa::ParallelJobs::run(threads, threads, [&](std::size_t t, unsigned) {
        fillSlab(unsigned(nz * t / threads), unsigned(nz * (t + 1) / threads));
    });
    return volume;
}

}
