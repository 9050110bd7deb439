#pragma once
// A triangle mesh held as vertex, normal and index arrays and drawn with GL client arrays.
// Triangles are wound counter-clockwise seen from outside.
#include "vexa/core/DefaultInitAllocator.h"
#include "vexa/math/Contour.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Vector3.h"

#include <array>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace Vexa {

// The mesh's arrays: `resize` leaves new elements unset, for producers that fill them at once;
// large ones reuse freed blocks.
template<class T>
using MeshArray = std::vector<T, DefaultInitAllocator<T, true>>;

class IndexedTriangleMesh
{
public:
    IndexedTriangleMesh();

    // Draws block `part` (from 1) of `parts` consecutive blocks of the triangle list with
    // the current colour and matrices. Each block holds triangles / parts triangles; the
    // last one also takes the remainder, so one cycle of parts draws every triangle once.
    virtual void render(int part, int parts) const;
    virtual ~IndexedTriangleMesh();

    // Minimum x, y, z then maximum x, y, z; all 0 for a mesh without vertices.
    virtual const std::array<double, 6>& getBoundingBox() const;

    std::size_t getVertexCount() const { return vertices_.size() / 3; }
    std::size_t getTriangleCount() const { return triangles_.size() / 3; }
    const MeshArray<double>& getVertices() const { return vertices_; }
    const MeshArray<double>& getNormals() const { return normals_; }
    const MeshArray<unsigned>& getTriangles() const { return triangles_; }
    Vector3D getVertex(unsigned i) const;
    Vector3D getNormal(unsigned i) const;

    // Returns the new vertex's index.
    unsigned addVertex(const Vector3D& position, const Vector3D& normal);
    // Throws when an index names no vertex.
    void addTriangle(unsigned a, unsigned b, unsigned c);
    // Replaces the whole mesh; throws (leaving the mesh unchanged) on inconsistent arrays.
    void setData(MeshArray<double> vertices, MeshArray<double> normals, MeshArray<unsigned> triangles);
    template<class A, class B, class C>
    void setData(const std::vector<double, A>& vertices, const std::vector<double, B>& normals,
                 const std::vector<unsigned, C>& triangles)
    {
        setData(MeshArray<double>(vertices.begin(), vertices.end()), MeshArray<double>(normals.begin(), normals.end()),
                MeshArray<unsigned>(triangles.begin(), triangles.end()));
    }
    // setData for a producer that has checked, while writing the arrays, that they agree and
    // that every index names a vertex, and has taken their bounding box (minimum x, y, z then
    // maximum): a second pass over a large mesh would cost more than the writing.
    void setCheckedData(MeshArray<double> vertices, MeshArray<double> normals, MeshArray<unsigned> triangles,
                        const std::array<double, 6>& boundingBox);
    // Area-weighted vertex normals from the triangles.
    void recomputeNormals();
    // Appends the other mesh as it is (indices shifted, no vertex merging).
    void addUnoptimized(std::shared_ptr<IndexedTriangleMesh> other);

    // The segments in which the plane cuts the triangles, in triangle order, in mesh
    // coordinates. A corner exactly on the plane counts as lying on its positive side.
    Contour intersects(const Plane<double>& plane) const;

    // true: draw from float copies of the vertex and normal arrays (kept up to date).
    void setUseFloatArrays(bool use);
    bool isUsingFloatArrays() const { return useFloatArrays_; }

    // First triangle and triangle count of block `part` of `parts` (see render); (0, 0) for
    // a part outside 1..parts.
    static std::pair<std::size_t, std::size_t> getRenderBlock(std::size_t triangles, int part, int parts);

private:
    void updateBoundingBox();
    void extendBoundingBox(const double* p);
    void rebuildFloatArrays();

    MeshArray<double> vertices_;
    MeshArray<double> normals_;
    MeshArray<unsigned> triangles_;
    std::array<double, 6> boundingBox_{};
    bool useFloatArrays_ = false;
    std::vector<float> floatVertices_;
    std::vector<float> floatNormals_;
};

}
