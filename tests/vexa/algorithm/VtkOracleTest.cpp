// Surface generation and mesh reduction against VTK (python3-vtk9, run as a separate
// /usr/bin/python3 process; nothing of VTK is linked into the program).
#include "AlgorithmTestSupport.h"
#include "common/TestSupport.h"

#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

using namespace AlgorithmTestSupport;

namespace {

double field(const std::string& output, const std::string& key)
{
    std::istringstream in(output);
    in.imbue(std::locale::classic());
    std::string word;
    while (in >> word)
        if (word == key)
        {
            double value = std::nan("");
            in >> value;
            return value;
        }
    return std::nan("");
}

// A smooth, irregular object away from the volume's faces: a horseshoe (jaw-like) arch of
// grey values with lumps and a mild ripple.
std::shared_ptr<Volume> makeArch(unsigned nx, unsigned ny, unsigned nz, double spacing)
{
    auto volume = std::make_shared<Volume>(nx, ny, nz, spacing, spacing, spacing);
    std::mt19937 random(77);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::pair<Vector3D, double>> lumps;
    const Vector3D extent(nx * spacing, ny * spacing, nz * spacing);
    for (int i = 0; i < 12; ++i)
        lumps.push_back({Vector3D(extent.x * (0.2 + 0.6 * u(random)), extent.y * (0.2 + 0.6 * u(random)),
                                  extent.z * (0.3 + 0.4 * u(random))),
                         extent.x * (0.04 + 0.05 * u(random))});
    const Vector3D centre(extent.x * 0.5, extent.y * 0.35, extent.z * 0.5);
    const double archRadius = extent.x * 0.3, thickness = extent.x * 0.07;
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
            {
                const Vector3D p((x + 0.5) * spacing, (y + 0.5) * spacing, (z + 0.5) * spacing);
                const Vector3D d = p - centre;
                double v = 0.0;
                // Arch: a half torus opening towards -y.
                if (d.y >= 0.0)
                {
                    const double ring = std::hypot(std::hypot(d.x, d.y) - archRadius, d.z * 1.6);
                    v = std::max(v, 1.0 - ring / thickness);
                }
                else
                {
                    for (double side : {-1.0, 1.0})
                    {
                        const double leg = std::hypot(d.x - side * archRadius, d.z * 1.6);
                        v = std::max(v, 1.0 - leg / thickness - std::max(0.0, -d.y - extent.y * 0.25) / thickness);
                    }
                }
                for (const auto& [c, r] : lumps)
                    v = std::max(v, 1.0 - (p - c).length() / r);
                v += 0.05 * std::sin(p.x * 0.9) * std::cos(p.y * 0.7) * std::sin(p.z * 1.1);
                volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(1000.0 + 2000.0 * v), 0L, 4095L));
            }
    // Keep the faces of the volume empty, as VTK leaves a surface open where it meets them.
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
                if (x == 0 || y == 0 || z == 0 || x + 1 == nx || y + 1 == ny || z + 1 == nz)
                    volume->at(x, y, z) = 0;
    return volume;
}

}

TEST(VtkOracle, SurfaceMatchesFlyingEdges)
{
    TestSupport::ScratchDir scratch;
    auto volume = makeArch(120, 100, 64, 0.4);
    const std::string raw = scratch.file("arch.raw");
    writeRaw(*volume, raw);
    for (unsigned short iso : {1500, 2200})
    {
        Vexa::MarchingCubes job(volume, iso);
        ASSERT_TRUE(job.start()) << job.getErrorMessage();
        const auto mesh = job.getResult();
        ASSERT_EQ(topologyFault(*mesh), "");

        int status = 0;
        const std::string output =
            runOracle("surface " + raw + " 120 100 64 0.4 0.4 0.4 " + std::to_string(iso), status);
        ASSERT_EQ(status, 0) << "VTK oracle failed (python3-vtk9 installed?):\n" << output;
        const double triangles = field(output, "triangles"), area = field(output, "area");
        ASSERT_GT(triangles, 1000.0) << output;
        const double ours = double(mesh->getTriangleCount()), ourArea = surfaceArea(*mesh);
        EXPECT_NEAR(ours, triangles, 0.01 * triangles) << "iso " << iso;
        EXPECT_NEAR(ourArea, area, 0.01 * area) << "iso " << iso;
        std::cout << "iso " << iso << ": triangles " << ours << " vs VTK " << triangles << ", area " << ourArea
                  << " vs VTK " << area << "\n";
    }
}

TEST(VtkOracle, ReducedBallStaysClosedAndAsCloseAsQuadricDecimation)
{
    TestSupport::ScratchDir scratch;
    const Vector3D centre(12.3, 12.1, 11.8);
    auto volume = makeBall(48, 0.5, centre, 9.0);
    Vexa::MarchingCubes surface(volume, 500);
    ASSERT_TRUE(surface.start());
    const auto input = surface.getResult();
    const std::size_t target = input->getTriangleCount() / 10;

    Vexa::MeshReduction reduction(input, target);
    ASSERT_TRUE(reduction.start()) << reduction.getErrorMessage();
    const auto reduced = reduction.getResult();
    ASSERT_TRUE(reduced);
    EXPECT_GE(reduced->getTriangleCount(), target);
    EXPECT_LE(reduced->getTriangleCount(), target + 1);
    EXPECT_EQ(topologyFault(*reduced), "");

    const std::string in = scratch.file("ball.mesh"), out = scratch.file("vtk.mesh");
    writeMesh(*input, in);
    int status = 0;
    const std::string output = runOracle("decimate " + in + " " + std::to_string(target) + " " + out, status);
    ASSERT_EQ(status, 0) << "VTK oracle failed (python3-vtk9 installed?):\n" << output;
    const auto vtkReduced = readMesh(out);
    ASSERT_GT(vtkReduced->getTriangleCount(), 0u);

    const double ours = hausdorffDistance(*input, *reduced);
    const double theirs = hausdorffDistance(*input, *vtkReduced);
    std::cout << "input " << input->getTriangleCount() << " triangles; ours " << reduced->getTriangleCount()
              << " triangles, Hausdorff " << ours << " mm; vtkQuadricDecimation " << vtkReduced->getTriangleCount()
              << " triangles, Hausdorff " << theirs << " mm\n";
    // Both are quadric edge collapses and land on almost the same mesh; allow for rounding.
    EXPECT_LE(ours, theirs * (1.0 + 1e-4));
}
