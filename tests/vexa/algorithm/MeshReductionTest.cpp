#include "AlgorithmTestSupport.h"

#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/mesh/MeshFactory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <thread>

using namespace AlgorithmTestSupport;
using Vexa::MeshReduction;

namespace {

using Distance = std::function<double(const Vector3D&)>;

// The surface where `distance` (signed, negative inside) is zero, sampled every `spacing` mm
// over a box of `extent` mm around the origin.
std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceOf(const Distance& distance, const Vector3D& extent, double spacing)
{
    const auto n = [&](double e) { return unsigned(std::ceil(e / spacing)); };
    auto volume = std::make_shared<Volume>(n(extent.x), n(extent.y), n(extent.z), spacing, spacing, spacing);
    const Vector3D origin = extent * -0.5;
    for (unsigned z = 0; z < volume->getDimZ(); ++z)
        for (unsigned y = 0; y < volume->getDimY(); ++y)
            for (unsigned x = 0; x < volume->getDimX(); ++x)
            {
                const double d = distance(origin + Vector3D(x + 0.5, y + 0.5, z + 0.5) * spacing);
                volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(500 - 200 * d), 0L, 4095L));
            }
    Vexa::MarchingCubes job(volume, 500, origin);
    EXPECT_TRUE(job.start());
    return job.getResult();
}

// The largest distance of the mesh from the shape: over points spread on every triangle.
double deviation(const Vexa::IndexedTriangleMesh& mesh, const Distance& shape)
{
    double worst = 0.0;
    for (std::size_t i = 0; i < mesh.getTriangleCount(); ++i)
    {
        const Vector3D a = corner(mesh, i, 0), b = corner(mesh, i, 1), c = corner(mesh, i, 2);
        for (int u = 0; u <= 4; ++u)
            for (int v = 0; u + v <= 4; ++v)
                worst = std::max(worst, std::abs(shape(a + (b - a) * (u / 4.0) + (c - a) * (v / 4.0))));
    }
    return worst;
}

double distanceToMesh(const Vector3D& p, const Vexa::IndexedTriangleMesh& mesh)
{
    double nearest = 1e300;
    for (std::size_t i = 0; i < mesh.getTriangleCount(); ++i)
        nearest =
            std::min(nearest, pointTriangleDistance(p, corner(mesh, i, 0), corner(mesh, i, 1), corner(mesh, i, 2)));
    return nearest;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> ballSurface(unsigned n, double radius)
{
    const double spacing = 0.5;
    const Vector3D centre(n * spacing / 2, n * spacing / 2, n * spacing / 2);
    Vexa::MarchingCubes job(makeBall(n, spacing, centre, radius), 500);
    EXPECT_TRUE(job.start());
    return job.getResult();
}

}

TEST(MeshReduction, KeepsTorusTopologyAndHonoursTheTarget)
{
    // A torus (genus one) must keep its hole: Euler characteristic 0 before and after.
    auto volume = std::make_shared<Volume>(48, 48, 24, 0.5, 0.5, 0.5);
    for (unsigned z = 0; z < 24; ++z)
        for (unsigned y = 0; y < 48; ++y)
            for (unsigned x = 0; x < 48; ++x)
            {
                const double px = (x + 0.5) * 0.5 - 12.0, py = (y + 0.5) * 0.5 - 12.0, pz = (z + 0.5) * 0.5 - 6.0;
                const double d = std::hypot(std::hypot(px, py) - 7.0, pz);
                volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(500 + 200 * (3.0 - d)), 0L, 4095L));
            }
    Vexa::MarchingCubes surface(volume, 500);
    ASSERT_TRUE(surface.start());
    const auto input = surface.getResult();
    ASSERT_EQ(eulerCharacteristic(*input), 0);
    for (std::size_t target : {input->getTriangleCount() / 2, std::size_t(200)})
    {
        MeshReduction job(input, target);
        ASSERT_TRUE(job.start()) << job.getErrorMessage();
        const auto reduced = job.getResult();
        EXPECT_GE(reduced->getTriangleCount(), target);
        EXPECT_LE(reduced->getTriangleCount(), target + 1);
        EXPECT_EQ(topologyFault(*reduced), "");
        EXPECT_EQ(eulerCharacteristic(*reduced), 0);
        EXPECT_TRUE(reduced->isUsingFloatArrays());
        EXPECT_NEAR(signedVolume(*reduced), signedVolume(*input), 0.05 * signedVolume(*input));
    }

    // A target at or above the size changes nothing but the normals.
    MeshReduction none(input, input->getTriangleCount());
    ASSERT_TRUE(none.start());
    EXPECT_EQ(none.getResult()->getTriangleCount(), input->getTriangleCount());
    EXPECT_EQ(none.getResult()->getVertexCount(), input->getVertexCount());
}

TEST(MeshReduction, FlatFacesAreNotGatheredIntoOneVertex)
{
    // A block of tissue cut off at the volume's border, as the box around the arch cuts the
    // soft tissue: on its flat faces every collapse costs nothing. No vertex may end up with more
    // than 16 triangles around it; one that swallowed a face made each later collapse there
    // check all of them again (tens of seconds for one model) and left a fan of needles.
    auto volume = std::make_shared<Volume>(60, 50, 40, 0.5, 0.5, 0.5);
    std::fill(volume->getVoxels(), volume->getVoxels() + volume->getVoxelCount(), static_cast<unsigned short>(1000));
    Vexa::MarchingCubes surface(volume, 500);
    ASSERT_TRUE(surface.start());
    const auto input = surface.getResult();
    for (std::size_t target : {input->getTriangleCount() / 2, input->getTriangleCount() / 10})
    {
        MeshReduction job(input, target);
        ASSERT_TRUE(job.start()) << job.getErrorMessage();
        const auto reduced = job.getResult();
        EXPECT_GE(reduced->getTriangleCount(), target);
        EXPECT_LE(reduced->getTriangleCount(), target + 1);
        EXPECT_EQ(topologyFault(*reduced), "");
        EXPECT_EQ(eulerCharacteristic(*reduced), 2);
        std::vector<unsigned> fan(reduced->getVertexCount(), 0);
        for (unsigned v : reduced->getTriangles())
            ++fan[v];
        EXPECT_LE(*std::max_element(fan.begin(), fan.end()), 16u) << target;
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(reduced->getBoundingBox()[i], input->getBoundingBox()[i], 1e-9);
        EXPECT_NEAR(signedVolume(*reduced), signedVolume(*input), 1e-9 * signedVolume(*input));
    }
}

TEST(MeshReduction, OpenMeshKeepsItsRimsAndNoMeshIsRefused)
{
    // An open tube: its rims stay where they are, and the mesh stays free of new faults.
    Vexa::Matrix44<double> frame;
    auto tube = Vexa::createCylinderMesh(frame, 20.0, 8.0, 8.0, false, 24, 20);
    MeshReduction reduceTube(tube, tube->getTriangleCount() / 4);
    ASSERT_TRUE(reduceTube.start()) << reduceTube.getErrorMessage();
    const auto reduced = reduceTube.getResult();
    EXPECT_LT(reduced->getTriangleCount(), tube->getTriangleCount());
    const auto& box = reduced->getBoundingBox();
    EXPECT_NEAR(box[0], 0.0, 1e-9);
    EXPECT_NEAR(box[3], 20.0, 1e-9);
    // Rim vertices (x = 0 or 20) are all still there.
    int rim = 0;
    for (unsigned v = 0; v < reduced->getVertexCount(); ++v)
        rim += std::abs(reduced->getVertex(v).x) < 1e-9 || std::abs(reduced->getVertex(v).x - 20.0) < 1e-9;
    EXPECT_EQ(rim, 48);

    MeshReduction nothing(nullptr, 10);
    EXPECT_FALSE(nothing.start());
    EXPECT_EQ(nothing.getErrorMessage(), "There is no mesh to reduce.");
}

TEST(MeshReduction, CancelLeavesAValidMesh)
{
    const auto input = ballSurface(120, 27.0);
    MeshReduction job(input, 100);
    std::atomic<bool> finished{false}, result{true};
    std::thread worker([&] {
        result = job.start();
        finished = true;
    });
    while (job.getProgressState() < 0.3 && !finished)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    job.cancel();
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(job.wasCancelled());
    const auto partial = job.getResult();
    ASSERT_TRUE(partial);
    EXPECT_LT(partial->getTriangleCount(), input->getTriangleCount());
    EXPECT_GT(partial->getTriangleCount(), 100u);
    EXPECT_EQ(topologyFault(*partial), "");
    EXPECT_EQ(eulerCharacteristic(*partial), 2);
}

TEST(MeshReduction, LongReductionStaysClosedOnTheSurfaceAndRepeatable)
{
    // Many thousand collapses, so that outdated queue entries are swept out several times
    // along the way: the result is still closed, on the sphere, at the target, and the same
    // on a second run.
    const double radius = 20.0;
    const auto input = ballSurface(96, radius);
    const Vector3D centre(24.0, 24.0, 24.0);
    ASSERT_GT(input->getTriangleCount(), 50000u);
    const std::size_t target = input->getTriangleCount() / 10;
    MeshReduction first(input, target), second(input, target);
    ASSERT_TRUE(first.start()) << first.getErrorMessage();
    ASSERT_TRUE(second.start());
    const auto reduced = first.getResult();
    EXPECT_GE(reduced->getTriangleCount(), target);
    EXPECT_LE(reduced->getTriangleCount(), target + 1);
    EXPECT_EQ(topologyFault(*reduced), "");
    EXPECT_EQ(eulerCharacteristic(*reduced), 2);
    for (unsigned v = 0; v < reduced->getVertexCount(); ++v)
    {
        ASSERT_NEAR((reduced->getVertex(v) - centre).length(), radius, 0.1) << v;
        ASSERT_GT(reduced->getNormal(v).dot((reduced->getVertex(v) - centre).getNormalized()), 0.9) << v;
    }
    EXPECT_EQ(second.getResult()->getTriangles(), reduced->getTriangles());
    EXPECT_EQ(second.getResult()->getVertices(), reduced->getVertices());
}

TEST(MeshReduction, ResultIsByteIdenticalAcrossRunsAndCoreCounts)
{
    // Ten runs, every other one on a single core (its set-up then runs on one thread).
    const auto input = ballSurface(80, 17.0);
    const std::size_t target = input->getTriangleCount() / 10;
    std::shared_ptr<Vexa::IndexedTriangleMesh> first;
    for (int run = 0; run < 10; ++run)
    {
        std::shared_ptr<Vexa::IndexedTriangleMesh> result;
        auto reduce = [&] {
            MeshReduction job(input, target);
            if (job.start())
                result = job.getResult();
        };
        if (run % 2)
            runOnOneCore(reduce);
        else
            reduce();
        ASSERT_NE(result, nullptr);
        if (!first)
        {
            first = result;
            continue;
        }
        EXPECT_EQ(result->getVertices(), first->getVertices()) << run;
        EXPECT_EQ(result->getNormals(), first->getNormals()) << run;
        EXPECT_EQ(result->getTriangles(), first->getTriangles()) << run;
    }
}

TEST(MeshReduction, DeepCutsStayCloseToTheShapeAndKeepTheAskedCount)
{
    // Shapes whose surface is known exactly, cut from half of their triangles down to one in
    // fifty. Each result keeps the asked count (never fewer, at most 1 % more), stays closed
    // with the same topology, and lies near the shape: no farther than the input lies, plus
    // three times what a mesh of evenly sized triangles of that count would lie from a surface
    // curved as tightly as the shape's tightest curve (r^2 / 2R for a triangle of circumradius
    // r). A collapse order that strays from the costs' order leaves some triangles far larger
    // than needed, or cuts off a thin spike that quadric errors would keep.
    const auto sphere = [](const Vector3D& p) { return p.length() - 16.0; };
    const auto capsule = [](const Vector3D& p) {
        const double z = std::clamp(p.z, 12.0, 18.4);
        return std::hypot(p.x, p.y, p.z - z) - 0.6;
    };
    const auto box = [](const Vector3D& p) {
        const Vector3D q(std::abs(p.x) - 20.0, std::abs(p.y) - 15.0, std::abs(p.z) - 2.0);
        return std::hypot(std::max(q.x, 0.0), std::max(q.y, 0.0), std::max(q.z, 0.0)) +
               std::min(std::max({q.x, q.y, q.z}), 0.0);
    };
    struct Case
    {
        const char* name;
        Distance shape;
        Vector3D extent;
        double spacing;
        double tightestRadius; // of curvature; where the surface is flat, none
        std::vector<Vector3D> landmarks; // input points the result must come near
    };
    const Case cases[] = {
        {"sphere", sphere, {36, 36, 36}, 0.5, 16.0, {}},
        {"spike", [&](const Vector3D& p) { return std::min(sphere(p), capsule(p)); }, {36, 36, 40}, 0.5, 16.0,
         {{0, 0, 19.0}}},
        {"torus", [](const Vector3D& p) { return std::hypot(std::hypot(p.x, p.y) - 11.0, p.z) - 4.0; }, {32, 32, 10},
         0.4, 4.0, {}},
        {"plate", box, {44, 34, 6}, 0.4, std::numeric_limits<double>::infinity(), {}},
    };
    for (const Case& c : cases)
    {
        const auto input = surfaceOf(c.shape, c.extent, c.spacing);
        const double inputDeviation = deviation(*input, c.shape), area = surfaceArea(*input);
        for (double cut : {0.5, 0.1, 0.02})
        {
            const std::size_t target = std::size_t(std::lround(cut * double(input->getTriangleCount())));
            MeshReduction job(input, target);
            ASSERT_TRUE(job.start()) << job.getErrorMessage();
            const auto reduced = job.getResult();
            const std::string what = std::string(c.name) + " to " + std::to_string(target);
            EXPECT_GE(reduced->getTriangleCount(), target) << what;
            EXPECT_LE(reduced->getTriangleCount(), std::max(target + 1, target + target / 100)) << what;
            EXPECT_EQ(topologyFault(*reduced), "") << what;
            EXPECT_EQ(eulerCharacteristic(*reduced), eulerCharacteristic(*input)) << what;
            const double squaredCircumradius = 4.0 / (3.0 * std::sqrt(3.0)) * area / double(target);
            const double bound = inputDeviation + 3.0 * squaredCircumradius / (2.0 * c.tightestRadius) + 1e-9;
            EXPECT_LE(deviation(*reduced, c.shape), bound) << what;
            for (const Vector3D& p : c.landmarks)
                EXPECT_LE(distanceToMesh(p, *reduced), bound) << what;
        }
    }
}
