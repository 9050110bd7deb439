// Mesh outlines on slices: the segments against VTK's vtkCutter, and the cache's keys and limit.
#include "ViewTestSupport.h"

#include "views/ContourCache.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/slice/Slice.h"

#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace {

using Vexa::Matrix44;
using Vexa::Vector3D;

// The mesh placed by the transform, in the oracle's mesh file format.
void writeMesh(const Vexa::IndexedTriangleMesh& mesh, const Matrix44<double>& transform, const std::string& file)
{
    std::ofstream out(file, std::ios::binary);
    const std::uint32_t counts[2] = {std::uint32_t(mesh.getVertexCount()), std::uint32_t(mesh.getTriangleCount())};
    out.write(reinterpret_cast<const char*>(counts), sizeof counts);
    for (unsigned i = 0; i < mesh.getVertexCount(); ++i) {
        const Vector3D p = transform * mesh.getVertex(i);
        const double xyz[3] = {p.x, p.y, p.z};
        out.write(reinterpret_cast<const char*>(xyz), sizeof xyz);
    }
    out.write(reinterpret_cast<const char*>(mesh.getTriangles().data()),
              std::streamsize(mesh.getTriangles().size() * sizeof(unsigned)));
}

std::string segmentLine(const Vector3D& a, const Vector3D& b)
{
    auto r = [](double v) { return std::round(v * 1e6) / 1e6 + 0.0; };
    const Vector3D m = (a + b) * 0.5;
    char text[160];
    std::snprintf(text, sizeof text, "%.6f %.6f %.6f %.6f", r(m.x), r(m.y), r(m.z), r((a - b).length()));
    return text;
}

}

TEST(ContourCache, SegmentsEqualVtkCutter)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> angle(-3.0, 3.0), offset(-2.0, 2.0);
    QTemporaryDir dir;
    const Matrix44<double> alongZ(Vector3D(0, 0, 1), Vector3D(1, 0, 0), Vector3D(0, 1, 0), Vector3D());
    const std::shared_ptr<Vexa::IndexedTriangleMesh> meshes[] = {
        Vexa::createCylinderMesh(alongZ, 12.0, 4.0, 3.0, true, 24, 3),
        Vexa::createEllipsoidMesh(Matrix44<double>(), Vector3D(6.0, 4.0, 9.0), 20, 12)};
    int n = 0;
    for (const auto& mesh : meshes)
        for (int k = 0; k < 4; ++k, ++n) {
            const Matrix44<double> transform(Vector3D(angle(rng), angle(rng), angle(rng)),
                                             Vector3D(offset(rng), 30.0 + offset(rng), offset(rng)));
            const Vector3D centre = transform * Vector3D(0.0, 0.0, k % 2 ? 0.0 : 3.0);
            Matrix44<double> frame(Vector3D(angle(rng), angle(rng), angle(rng)), centre + Vector3D(0.1, -0.2, 0.3));
            const auto slice = Vexa::Slice::create(frame, {40.0, 40.0});
            ContourCache cache;
            const Vexa::Contour* contour = cache.contourFor(*slice, mesh, transform);
            ASSERT_NE(contour, nullptr);
            std::vector<std::string> ours;
            for (const auto& [a, b] : *contour)
                ours.push_back(segmentLine(transform * a, transform * b));
            std::sort(ours.begin(), ours.end());

            const std::string file = dir.filePath(QString::number(n)).toStdString();
            writeMesh(*mesh, transform, file);
            const Vector3D p = frame.getTranslation(), normal = frame.getColumn(2);
            QProcess oracle;
            QStringList args{MORVANTA_SOURCE_DIR "/tests/tools/views_oracle.py", "cut", QString::fromStdString(file)};
            for (double v : {p.x, p.y, p.z, normal.x, normal.y, normal.z})
                args << QString::number(v, 'g', 17);
            oracle.start("/usr/bin/python3", args);
            ASSERT_TRUE(oracle.waitForFinished(60000));
            ASSERT_EQ(oracle.exitCode(), 0) << oracle.readAllStandardError().toStdString();
            std::vector<std::string> theirs;
            for (const QString& line : QString::fromUtf8(oracle.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
                theirs.push_back(line.toStdString());
            std::sort(theirs.begin(), theirs.end());
            EXPECT_GT(ours.size(), 8u);
            EXPECT_EQ(ours, theirs) << "case " << n;
        }
}

TEST(ContourCache, KeysBoxRejectionAndLimit)
{
    const auto mesh = Vexa::createBoxMesh(Matrix44<double>(), Vector3D(2.0, 2.0, 2.0));
    const auto& box = mesh->getBoundingBox();
    ContourCache cache;
    const auto at = [](double z) { return Vexa::Slice::create(Matrix44<double>(Vector3D(0, 0, z)), {10.0, 10.0}); };
    // A plane touching the box within 0.001 of its top misses it.
    EXPECT_EQ(cache.contourFor(*at(box[5] - 0.0005), mesh, Matrix44<double>()), nullptr);
    EXPECT_EQ(cache.size(), 0u);
    const double mid = (box[2] + box[5]) / 2;
    ASSERT_NE(cache.contourFor(*at(mid), mesh, Matrix44<double>()), nullptr);
    cache.contourFor(*at(mid + 0.0004), mesh, Matrix44<double>());
    EXPECT_EQ(cache.cuts(), 1u); // the same plane within 0.001
    // The same plane relative to a moved mesh is the same contour.
    cache.contourFor(*at(mid + 5.0), mesh, Matrix44<double>(Vector3D(0, 0, 5.0)));
    EXPECT_EQ(cache.cuts(), 1u);
    for (int i = 1; i <= 100; ++i)
        cache.contourFor(*at(box[2] + (box[5] - box[2]) * i / 103.0), mesh, Matrix44<double>());
    EXPECT_EQ(cache.size(), ContourCache::limit);
    // The first plane dropped out with the 101st contour.
    const auto cuts = cache.cuts();
    cache.contourFor(*at(mid), mesh, Matrix44<double>());
    EXPECT_EQ(cache.cuts(), cuts + 1);
}
