#include "AlgorithmTestSupport.h"

#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/mesh/MeshFactory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace AlgorithmTestSupport;
using Vexa::MeshReduction;

namespace {

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
        EXPECT_LE(reduced->getTriangleCount(), target);
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
        EXPECT_LE(reduced->getTriangleCount(), target);
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
    EXPECT_LE(reduced->getTriangleCount(), target);
    EXPECT_GE(reduced->getTriangleCount(), target - 2);
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
