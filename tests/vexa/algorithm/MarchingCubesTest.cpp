#include "AlgorithmTestSupport.h"

#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MarchingCubesTable.h"
#include "vexa/core/ProcessorAffinity.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <chrono>
#include <numbers>
#include <random>
#include <thread>

using namespace AlgorithmTestSupport;
using Vexa::MarchingCubes;

namespace {

std::shared_ptr<Vexa::IndexedTriangleMesh> surface(std::shared_ptr<Volume> volume, unsigned short iso,
                                                   unsigned threads = 0, const Vector3D& offset = Vector3D())
{
    MarchingCubes job(volume, iso, offset);
    job.setThreadCount(threads);
    EXPECT_TRUE(job.start()) << job.getErrorMessage();
    EXPECT_DOUBLE_EQ(job.getProgressState(), 1.0);
    return job.getResult();
}

}

TEST(MarchingCubes, TableUsesExactlyTheCrossedEdgesOfEveryCase)
{
    // For every corner pattern and face choice the triangles have their corners on exactly
    // the crossed edges, and a pattern and its complement see the same ambiguous faces.
    // (That the pieces join without cracks is shown on noise below.)
    const auto& table = Vexa::MarchingCubesTable::get();
    for (unsigned pattern = 1; pattern < 255; ++pattern)
        for (unsigned joined = 0; joined < 64; ++joined)
        {
            const auto& entry = table.lookup(pattern, joined);
            std::set<int> crossed, used;
            for (int e = 0; e < 12; ++e)
            {
                const auto& c = Vexa::MarchingCubesTable::edgeCorners()[e];
                if (((pattern >> c[0]) & 1) != ((pattern >> c[1]) & 1))
                    crossed.insert(e);
            }
            for (int k = 0; k < 3 * entry.triangleCount; ++k)
                if (entry.edges[k] != Vexa::MarchingCubesTable::centreVertex)
                    used.insert(entry.edges[k]);
            ASSERT_EQ(used, crossed) << pattern << " " << joined;
            ASSERT_EQ(table.ambiguousFaces(pattern), table.ambiguousFaces(255 - pattern));
        }
    EXPECT_EQ(table.lookup(1, 0).triangleCount, 1);
    EXPECT_EQ(table.lookup(0x0f, 0).triangleCount, 2);
}

TEST(MarchingCubes, BallIsClosedOutwardAndHasTheBallsVolume)
{
    const double radius = 9.0, spacing = 0.8;
    const Vector3D centre(14.1, 13.7, 14.4);
    auto volume = makeBall(36, spacing, centre, radius);
    auto mesh = surface(volume, 500);
    ASSERT_TRUE(mesh);
    EXPECT_EQ(topologyFault(*mesh), "");
    EXPECT_EQ(eulerCharacteristic(*mesh), 2);

    const double expected = 4.0 / 3.0 * std::numbers::pi * radius * radius * radius;
    EXPECT_NEAR(signedVolume(*mesh), expected, 0.02 * expected);
    // Vertices on the sphere, vertex normals and triangles facing away from the centre.
    for (unsigned v = 0; v < mesh->getVertexCount(); ++v)
    {
        const Vector3D outward = mesh->getVertex(v) - centre;
        ASSERT_NEAR(outward.length(), radius, 0.1 * spacing);
        ASSERT_GT(mesh->getNormal(v).dot(outward.getNormalized()), 0.95) << v;
        ASSERT_NEAR(mesh->getNormal(v).length(), 1.0, 1e-9);
    }
    for (std::size_t t = 0; t < mesh->getTriangleCount(); ++t)
    {
        const Vector3D a = corner(*mesh, t, 0), b = corner(*mesh, t, 1), c = corner(*mesh, t, 2);
        ASSERT_GT((b - a).cross(c - a).dot((a + b + c) / 3.0 - centre), 0.0) << t;
    }

}

TEST(MarchingCubes, SurfaceClosesAtTheVolumeBorderAndTakesTheOffset)
{
    // A ball cut by the volume's faces: the cut is closed by the border, and the world
    // position is the offset plus the voxel position.
    auto volume = makeBall(20, 1.0, Vector3D(2.0, 10.0, 18.5), 7.0);
    const Vector3D offset(100.0, -50.0, 7.25);
    auto mesh = surface(volume, 500, 3, offset);
    ASSERT_TRUE(mesh);
    EXPECT_EQ(topologyFault(*mesh), "");
    EXPECT_GT(signedVolume(*mesh), 0.0);
    const auto& box = mesh->getBoundingBox();
    EXPECT_DOUBLE_EQ(box[0], offset.x); // closed on the volume's faces
    EXPECT_DOUBLE_EQ(box[5], offset.z + 20.0);
    EXPECT_NEAR(box[4], offset.y + 17.0, 0.1);
}

TEST(MarchingCubes, ThresholdedBlockLiesWithinHalfAVoxelOfItsBoundary)
{
    const double sx = 0.5, sy = 0.7, sz = 0.9;
    auto volume = std::make_shared<Volume>(16, 14, 12, sx, sy, sz);
    const unsigned lo[3] = {3, 4, 2}, hi[3] = {11, 9, 8}; // inclusive voxel range of the block
    for (unsigned z = lo[2]; z <= hi[2]; ++z)
        for (unsigned y = lo[1]; y <= hi[1]; ++y)
            for (unsigned x = lo[0]; x <= hi[0]; ++x)
                volume->at(x, y, z) = 1000;
    const double s[3] = {sx, sy, sz};
    for (unsigned short iso : {1, 500, 1000})
    {
        auto mesh = surface(volume, iso);
        ASSERT_TRUE(mesh);
        EXPECT_EQ(topologyFault(*mesh), "");
        for (unsigned v = 0; v < mesh->getVertexCount(); ++v)
        {
            const Vector3D p = mesh->getVertex(v);
            // Distance to the block's surface [lo * s, (hi + 1) * s] along the axis where it is
            // closest, and the vertex never lies further than half a voxel from it.
            double nearest = 1e300;
            bool within = true;
            for (int a = 0; a < 3; ++a)
            {
                const double low = lo[a] * s[a], high = (hi[a] + 1) * s[a];
                nearest = std::min({nearest, std::abs(p[a] - low), std::abs(p[a] - high)});
                within = within && p[a] > low - 0.5 * s[a] - 1e-9 && p[a] < high + 0.5 * s[a] + 1e-9;
            }
            ASSERT_TRUE(within) << "iso " << iso << " vertex " << v;
            ASSERT_LE(nearest, 0.5 * std::max({sx, sy, sz}) + 1e-9) << "iso " << iso;
        }
    }
    // At iso 500 the surface runs half way between the voxel centres: on the boundary itself.
    auto middle = surface(volume, 500);
    const auto& box = middle->getBoundingBox();
    EXPECT_NEAR(box[0], lo[0] * sx, 1e-3);
    EXPECT_NEAR(box[4], (hi[1] + 1) * sy, 1e-3);

    // A voxel exactly at the iso value is inside; one just below is not.
    auto single = std::make_shared<Volume>(5, 5, 5, 1.0, 1.0, 1.0);
    single->at(2, 2, 2) = 700;
    EXPECT_EQ(surface(single, 700)->getTriangleCount(), 8u);
    MarchingCubes above(single, 701);
    EXPECT_FALSE(above.start());
    EXPECT_FALSE(above.getResult());
    EXPECT_EQ(above.getErrorMessage(), "The volume has no surface at the iso value 701.");
}

TEST(MarchingCubes, NoiseWithAmbiguousFacesStaysWatertight)
{
    // Random grey values make ambiguous faces in almost every cell; a surface that resolves
    // them differently in neighbouring cells would show open edges here.
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> grey(0, 1000);
    auto volume = std::make_shared<Volume>(23, 19, 31, 0.4, 0.5, 0.3);
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i)
        volume->getVoxels()[i] = static_cast<unsigned short>(grey(random));
    for (unsigned short iso : {300, 500, 777})
        for (unsigned threads : {1u, 4u})
        {
            auto mesh = surface(volume, iso, threads);
            ASSERT_TRUE(mesh);
            EXPECT_EQ(topologyFault(*mesh), "") << "iso " << iso << " threads " << threads;
            EXPECT_GT(signedVolume(*mesh), 0.0);
        }
}

TEST(MarchingCubes, BadVolumesAndCancelGiveNoMesh)
{
    MarchingCubes none(nullptr, 100);
    EXPECT_FALSE(none.start());
    EXPECT_EQ(none.getErrorMessage(), "The volume is empty.");

    auto volume = makeBall(160, 0.5, Vector3D(40, 40, 40), 30.0);
    MarchingCubes job(volume, 500);
    job.setThreadCount(2);
    std::atomic<bool> finished{false}, result{true};
    std::thread worker([&] {
        result = job.start();
        finished = true;
    });
    while (job.getProgressState() < 0.05 && !finished)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    job.cancel();
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(job.wasCancelled());
    EXPECT_FALSE(job.getResult());
    EXPECT_LT(job.getProgressState(), 0.9);
    EXPECT_TRUE(job.isCancelable());
    EXPECT_EQ(job.getShortDescription(), "Generating 3D model");
}

TEST(MarchingCubes, SparseRowsHighGreyValuesAndThreadCountsGiveOneSurface)
{
    // Small lumps scattered through a long volume: most rows and many slabs are empty, the
    // others are cut in a few places. The same lumps lifted by 40000 grey values (beyond the
    // signed 16-bit range) must give the very same surface at the lifted iso value, and every
    // thread count (threads take several slabs each) the same surface as one thread.
    const unsigned nx = 37, ny = 29, nz = 90;
    const double s = 0.5;
    auto low = std::make_shared<Volume>(nx, ny, nz, s, s, s);
    auto high = std::make_shared<Volume>(nx, ny, nz, s, s, s);
    std::mt19937 random(99);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::pair<Vector3D, double>> lumps;
    for (int i = 0; i < 9; ++i)
        lumps.push_back({Vector3D(nx * s * u(random), ny * s * u(random), nz * s * u(random)), 0.6 + 2.5 * u(random)});
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
            {
                const Vector3D p((x + 0.5) * s, (y + 0.5) * s, (z + 0.5) * s);
                double v = 0.0;
                for (const auto& [c, r] : lumps)
                    v = std::max(v, 500.0 + 300.0 * (r - (p - c).length()));
                const auto grey = static_cast<unsigned short>(std::clamp(std::lround(v), 0L, 20000L));
                low->at(x, y, z) = grey;
                high->at(x, y, z) = static_cast<unsigned short>(grey + 40000);
            }

    auto sortedVertices = [](const Vexa::IndexedTriangleMesh& mesh) {
        std::vector<std::array<double, 3>> v;
        for (unsigned i = 0; i < mesh.getVertexCount(); ++i)
            v.push_back({mesh.getVertex(i).x, mesh.getVertex(i).y, mesh.getVertex(i).z});
        std::sort(v.begin(), v.end());
        return v;
    };
    const auto reference = surface(low, 500, 1);
    ASSERT_TRUE(reference);
    EXPECT_EQ(topologyFault(*reference), "");
    EXPECT_GT(signedVolume(*reference), 0.0);
    const auto referenceVertices = sortedVertices(*reference);
    for (unsigned threads : {2u, 3u, 8u})
    {
        const auto lifted = surface(high, 40500, threads);
        const auto plain = surface(low, 500, threads);
        ASSERT_TRUE(lifted && plain);
        EXPECT_EQ(lifted->getTriangleCount(), reference->getTriangleCount()) << threads;
        EXPECT_EQ(plain->getTriangleCount(), reference->getTriangleCount()) << threads;
        EXPECT_EQ(topologyFault(*lifted), "");
        EXPECT_EQ(sortedVertices(*lifted), referenceVertices) << threads;
        EXPECT_EQ(sortedVertices(*plain), referenceVertices) << threads;
    }

    // At iso 0 every voxel is inside: the surface is the volume's box (its edges bevelled by
    // half a voxel).
    const auto box = surface(low, 0);
    ASSERT_TRUE(box);
    EXPECT_EQ(topologyFault(*box), "");
    const double full = nx * ny * nz * s * s * s;
    const double bevels = 4.0 * (nx + ny + nz) * s * (s * s / 8.0);
    EXPECT_NEAR(signedVolume(*box), full - bevels, 0.01 * bevels);
    const auto& bounds = box->getBoundingBox();
    EXPECT_DOUBLE_EQ(bounds[0], 0.0);
    EXPECT_DOUBLE_EQ(bounds[5], nz * s);
    // Above the brightest voxel there is nothing.
    MarchingCubes none(high, 65535);
    EXPECT_FALSE(none.start());
    EXPECT_EQ(none.getErrorMessage(), "The volume has no surface at the iso value 65535.");
}

TEST(MarchingCubes, ThreadPoolFollowsTheCpuAffinity)
{
    // On one allowed core the default pool is one thread: the very surface (vertex order
    // included, which depends on the slabs) that one thread makes.
    auto volume = makeBall(40, 0.5, Vector3D(10.0, 10.0, 10.0), 7.0);
    const auto single = surface(volume, 500, 1);
    ASSERT_TRUE(single);
    unsigned cores = 0;
    std::shared_ptr<Vexa::IndexedTriangleMesh> pinned;
    runOnOneCore([&] {
        cores = Vexa::ProcessorAffinity::usableCores();
        pinned = surface(volume, 500);
    });
    EXPECT_EQ(cores, 1u);
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->getVertices(), single->getVertices());
    EXPECT_EQ(pinned->getTriangles(), single->getTriangles());
    EXPECT_GE(Vexa::ProcessorAffinity::usableCores(), 1u);
}

TEST(MarchingCubes, BoundingBoxAndIndicesAgreeWithTheArraysAtAnyThreadCount)
{
    // The generator takes the box while placing the vertices, slab by slab; the mesh's own
    // checked path over the same arrays is the oracle (it throws on an index without vertex).
    auto volume = makeBall(40, 0.5, Vector3D(10.0, 11.0, 9.0), 7.0);
    for (unsigned threads : {1u, 3u, 8u})
    {
        const auto mesh = surface(volume, 500, threads);
        ASSERT_TRUE(mesh);
        Vexa::IndexedTriangleMesh checked;
        checked.setData(mesh->getVertices(), mesh->getNormals(), mesh->getTriangles());
        EXPECT_EQ(mesh->getBoundingBox(), checked.getBoundingBox()) << threads;
    }
}
