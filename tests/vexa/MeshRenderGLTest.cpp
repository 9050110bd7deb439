#include "GLTestContext.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <cmath>
#include <gtest/gtest.h>
#include <vector>

using namespace Vexa;

namespace {

// Triangle i lies at its own depth, so that feedback tells which triangles were drawn.
IndexedTriangleMesh depthCodedMesh(unsigned triangles)
{
    IndexedTriangleMesh mesh;
    for (unsigned i = 0; i < triangles; ++i) {
        const double z = -0.9 + 1.8 * (i + 0.5) / triangles;
        const unsigned a = mesh.addVertex(Vector3D(-0.5, -0.5, z), Vector3D(0, 0, 1));
        const unsigned b = mesh.addVertex(Vector3D(0.5, -0.5, z), Vector3D(0, 0, 1));
        const unsigned c = mesh.addVertex(Vector3D(0.0, 0.5, z), Vector3D(0, 0, 1));
        mesh.addTriangle(a, b, c);
    }
    return mesh;
}

// How often each triangle was drawn by render(part, parts), read back through GL feedback.
std::vector<int> drawnTriangles(const IndexedTriangleMesh& mesh, int part, int parts)
{
    const unsigned n = static_cast<unsigned>(mesh.getTriangleCount());
    std::vector<GLfloat> buffer(16 * (n + 1));
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D, buffer.data());
    glRenderMode(GL_FEEDBACK);
    mesh.render(part, parts);
    const GLint values = glRenderMode(GL_RENDER);
    std::vector<int> drawn(n, 0);
    EXPECT_GE(values, 0) << "feedback buffer overflow";
    for (GLint i = 0; i < values;) {
        EXPECT_EQ(buffer[i], GL_POLYGON_TOKEN);
        if (buffer[i] != GL_POLYGON_TOKEN)
            break;
        const int corners = static_cast<int>(buffer[i + 1]);
        EXPECT_EQ(corners, 3);
        const double windowZ = buffer[i + 2 + 2];
        const long index = std::lround(((windowZ * 2.0 - 1.0) + 0.9) / 1.8 * n - 0.5);
        EXPECT_TRUE(index >= 0 && index < long(n)) << windowZ;
        if (index >= 0 && index < long(n))
            ++drawn[index];
        i += 2 + 3 * corners;
    }
    return drawn;
}

}

TEST(IndexedTriangleMeshGL, ProgressiveCycleDrawsEveryTriangleExactlyOnce)
{
    REQUIRE_GL_CONTEXT(gl);
    for (unsigned triangles : {1u, 3u, 7u, 103u}) {
        IndexedTriangleMesh mesh = depthCodedMesh(triangles);
        for (bool floats : {false, true}) {
            mesh.setUseFloatArrays(floats);
            for (int parts = 1; parts <= 5; ++parts) {
                std::vector<int> total(triangles, 0);
                for (int part = 1; part <= parts; ++part) {
                    const std::vector<int> drawn = drawnTriangles(mesh, part, parts);
                    int count = 0;
                    for (unsigned i = 0; i < triangles; ++i) {
                        total[i] += drawn[i];
                        count += drawn[i];
                    }
                    if (part < parts) {
                        EXPECT_EQ(count, int(triangles / parts));
                    }
                }
                for (unsigned i = 0; i < triangles; ++i)
                    EXPECT_EQ(total[i], 1) << "triangle " << i << " of " << triangles << ", " << parts
                                           << " parts, floats " << floats;
            }
        }
        // Parts outside the cycle draw nothing.
        for (auto [part, parts] : {std::pair{0, 2}, std::pair{3, 2}, std::pair{1, 0}, std::pair{-1, -1}}) {
            int count = 0;
            for (int d : drawnTriangles(mesh, part, parts))
                count += d;
            EXPECT_EQ(count, 0);
        }
    }

    // Float copies follow later changes to the mesh.
    IndexedTriangleMesh mesh = depthCodedMesh(4);
    mesh.setUseFloatArrays(true);
    IndexedTriangleMesh more = depthCodedMesh(4);
    mesh.addUnoptimized(std::make_shared<IndexedTriangleMesh>(more));
    const unsigned v = mesh.addVertex(Vector3D(0, 0, 0), Vector3D(0, 0, 1));
    mesh.addTriangle(0, 1, v);
    int count = 0;
    for (int d : drawnTriangles(mesh, 1, 1))
        count += d;
    EXPECT_EQ(count, 9);

    // The client arrays are restored.
    EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY));
    EXPECT_FALSE(glIsEnabled(GL_NORMAL_ARRAY));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
