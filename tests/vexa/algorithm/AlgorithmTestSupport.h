#pragma once
// Shared checks and volumes for the algorithm tests.
#include "../MeshTestSupport.h"
#include "vexa/volume/VolumeData.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace AlgorithmTestSupport {

using namespace MeshTestSupport;
using Vexa::Vector3D;
using Volume = Vexa::VolumeData<unsigned short>;

// Runs fn in a thread allowed on one core only (the first of this thread's), as under
// "taskset -c N"; the threads it starts inherit that.
template<class Fn>
void runOnOneCore(Fn fn)
{
    cpu_set_t mine;
    CPU_ZERO(&mine);
    sched_getaffinity(0, sizeof mine, &mine);
    int first = 0;
    while (first < CPU_SETSIZE && !CPU_ISSET(first, &mine))
        ++first;
    std::thread worker([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        fn();
    });
    worker.join();
}

// Closest distance from p to triangle abc (Ericson, Real-Time Collision Detection 5.1.5).
inline double pointTriangleDistance(const Vector3D& p, const Vector3D& a, const Vector3D& b, const Vector3D& c)
{
    const Vector3D ab = b - a, ac = c - a, ap = p - a;
    const double d1 = ab.dot(ap), d2 = ac.dot(ap);
    if (d1 <= 0 && d2 <= 0)
        return ap.length();
    const Vector3D bp = p - b;
    const double d3 = ab.dot(bp), d4 = ac.dot(bp);
    if (d3 >= 0 && d4 <= d3)
        return bp.length();
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0)
        return (p - (a + ab * (d1 / (d1 - d3)))).length();
    const Vector3D cp = p - c;
    const double d5 = ab.dot(cp), d6 = ac.dot(cp);
    if (d6 >= 0 && d5 <= d6)
        return cp.length();
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0)
        return (p - (a + ac * (d2 / (d2 - d6)))).length();
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0)
        return (p - (b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6))))).length();
    const double denom = 1.0 / (va + vb + vc);
    return (p - (a + ab * (vb * denom) + ac * (vc * denom))).length();
}

// Largest distance from the sample points of `from` (vertices, edge midpoints, centroids)
// to the surface of `to`.
inline double oneSidedDistance(const Vexa::IndexedTriangleMesh& from, const Vexa::IndexedTriangleMesh& to)
{
    std::vector<Vector3D> samples;
    for (std::size_t i = 0; i < from.getTriangleCount(); ++i)
    {
        const Vector3D a = corner(from, i, 0), b = corner(from, i, 1), c = corner(from, i, 2);
        samples.insert(samples.end(), {a, (a + b) * 0.5, (b + c) * 0.5, (c + a) * 0.5, (a + b + c) / 3.0});
    }
    std::vector<std::array<Vector3D, 3>> triangles;
    for (std::size_t i = 0; i < to.getTriangleCount(); ++i)
        triangles.push_back({corner(to, i, 0), corner(to, i, 1), corner(to, i, 2)});
    double worst = 0.0;
    for (const Vector3D& p : samples)
    {
        double nearest = 1e300;
        for (const auto& t : triangles)
            nearest = std::min(nearest, pointTriangleDistance(p, t[0], t[1], t[2]));
        worst = std::max(worst, nearest);
    }
    return worst;
}

inline double hausdorffDistance(const Vexa::IndexedTriangleMesh& a, const Vexa::IndexedTriangleMesh& b)
{
    return std::max(oneSidedDistance(a, b), oneSidedDistance(b, a));
}

// A smooth ball: grey value 500 on the sphere, rising by `slope` per mm inwards.
inline std::shared_ptr<Volume> makeBall(unsigned n, double spacing, const Vector3D& centre, double radius,
                                        double slope = 200.0)
{
    auto volume = std::make_shared<Volume>(n, n, n, spacing, spacing, spacing);
    for (unsigned z = 0; z < n; ++z)
        for (unsigned y = 0; y < n; ++y)
            for (unsigned x = 0; x < n; ++x)
            {
                const Vector3D p((x + 0.5) * spacing, (y + 0.5) * spacing, (z + 0.5) * spacing);
                const double v = 500.0 + slope * (radius - (p - centre).length());
                volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(v), 0L, 4095L));
            }
    return volume;
}

// Exchange format with the VTK oracle script: uint32 vertex count, uint32 triangle count,
// float64 positions, uint32 indices (little-endian).
inline void writeMesh(const Vexa::IndexedTriangleMesh& mesh, const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    const std::uint32_t counts[2] = {std::uint32_t(mesh.getVertexCount()), std::uint32_t(mesh.getTriangleCount())};
    out.write(reinterpret_cast<const char*>(counts), sizeof counts);
    out.write(reinterpret_cast<const char*>(mesh.getVertices().data()), std::streamsize(mesh.getVertices().size() * 8));
    out.write(reinterpret_cast<const char*>(mesh.getTriangles().data()), std::streamsize(mesh.getTriangles().size() * 4));
}

inline std::shared_ptr<Vexa::IndexedTriangleMesh> readMesh(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::uint32_t counts[2] = {0, 0};
    in.read(reinterpret_cast<char*>(counts), sizeof counts);
    std::vector<double> vertices(3 * std::size_t(counts[0]));
    std::vector<unsigned> triangles(3 * std::size_t(counts[1]));
    in.read(reinterpret_cast<char*>(vertices.data()), std::streamsize(vertices.size() * 8));
    in.read(reinterpret_cast<char*>(triangles.data()), std::streamsize(triangles.size() * 4));
    auto mesh = std::make_shared<Vexa::IndexedTriangleMesh>();
    if (!in)
        return mesh;
    std::vector<double> normals(vertices.size(), 0.0);
    mesh->setData(std::move(vertices), std::move(normals), std::move(triangles));
    return mesh;
}

inline void writeRaw(const Volume& volume, const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(volume.getVoxels()), std::streamsize(volume.getVoxelCount() * 2));
}

// Runs the VTK oracle script with /usr/bin/python3 and returns its standard output.
inline std::string runOracle(const std::string& arguments, int& status)
{
    const std::string command = "/usr/bin/python3 " MORVANTA_SOURCE_DIR "/tests/tools/vtk_oracle.py " + arguments;
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
    {
        status = -1;
        return output;
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    status = pclose(pipe);
    return output;
}

}
