#include "vexa/mesh/IndexedTriangleMesh.h"

#include "vexa/core/ExceptionStack.h"

#include <GL/gl.h>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Vexa {

namespace {

bool lexicographicallyLess(const Vector3D& a, const Vector3D& b)
{
    if (a.x != b.x)
        return a.x < b.x;
    if (a.y != b.y)
        return a.y < b.y;
    return a.z < b.z;
}

// Vertex i's three values in a packed x, y, z array (positions or normals).
Vector3D vectorAt(const MeshArray<double>& values, unsigned i)
{
    if (i >= values.size() / 3)
        throw std::runtime_error("vertex index out of range: " + std::to_string(i));
    const double* p = values.data() + 3 * static_cast<std::size_t>(i);
    return Vector3D(p[0], p[1], p[2]);
}

}

IndexedTriangleMesh::IndexedTriangleMesh() = default;

IndexedTriangleMesh::~IndexedTriangleMesh() = default;

std::pair<std::size_t, std::size_t> IndexedTriangleMesh::getRenderBlock(std::size_t triangles, int part, int parts)
{
    if (parts < 1 || part < 1 || part > parts)
        return {0, 0};
    const std::size_t block = triangles / static_cast<std::size_t>(parts);
    const std::size_t first = block * static_cast<std::size_t>(part - 1);
    // The remainder goes to the last block; otherwise a progressive cycle would never
    // draw the last (triangles mod parts) triangles.
    const std::size_t count = part == parts ? triangles - first : block;
    return {first, count};
}

void IndexedTriangleMesh::render(int part, int parts) const
try {
    const auto [first, count] = getRenderBlock(getTriangleCount(), part, parts);
    if (count == 0)
        return;
    glPushClientAttrib(GL_CLIENT_VERTEX_ARRAY_BIT);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    if (useFloatArrays_) {
        glVertexPointer(3, GL_FLOAT, 0, floatVertices_.data());
        glNormalPointer(GL_FLOAT, 0, floatNormals_.data());
    } else {
        glVertexPointer(3, GL_DOUBLE, 0, vertices_.data());
        glNormalPointer(GL_DOUBLE, 0, normals_.data());
    }
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(count * 3), GL_UNSIGNED_INT, triangles_.data() + first * 3);
    glPopClientAttrib();
}
VEXA_RETHROW

const std::array<double, 6>& IndexedTriangleMesh::getBoundingBox() const
{
    return boundingBox_;
}

Vector3D IndexedTriangleMesh::getVertex(unsigned i) const
try {
    return vectorAt(vertices_, i);
}
VEXA_RETHROW

Vector3D IndexedTriangleMesh::getNormal(unsigned i) const
try {
    return vectorAt(normals_, i);
}
VEXA_RETHROW

unsigned IndexedTriangleMesh::addVertex(const Vector3D& position, const Vector3D& normal)
try {
    const std::size_t index = getVertexCount();
    if (index >= std::numeric_limits<unsigned>::max())
        throw std::runtime_error("too many vertices");
    vertices_.insert(vertices_.end(), {position.x, position.y, position.z});
    normals_.insert(normals_.end(), {normal.x, normal.y, normal.z});
    if (index == 0)
        updateBoundingBox();
    else
        extendBoundingBox(vertices_.data() + 3 * index);
    if (useFloatArrays_) {
        floatVertices_.insert(floatVertices_.end(), {float(position.x), float(position.y), float(position.z)});
        floatNormals_.insert(floatNormals_.end(), {float(normal.x), float(normal.y), float(normal.z)});
    }
    return static_cast<unsigned>(index);
}
VEXA_RETHROW

void IndexedTriangleMesh::addTriangle(unsigned a, unsigned b, unsigned c)
try {
    const std::size_t n = getVertexCount();
    if (a >= n || b >= n || c >= n)
        throw std::runtime_error("triangle index out of range");
    triangles_.insert(triangles_.end(), {a, b, c});
}
VEXA_RETHROW

void IndexedTriangleMesh::setData(MeshArray<double> vertices, MeshArray<double> normals,
                                  MeshArray<unsigned> triangles)
try {
    if (vertices.size() % 3 != 0 || normals.size() != vertices.size() || triangles.size() % 3 != 0)
        throw std::runtime_error("inconsistent mesh arrays");
    const std::size_t n = vertices.size() / 3;
    if (n > std::numeric_limits<unsigned>::max())
        throw std::runtime_error("too many vertices");
    for (unsigned index : triangles)
        if (index >= n)
            throw std::runtime_error("triangle index out of range");
    vertices_ = std::move(vertices);
    normals_ = std::move(normals);
    triangles_ = std::move(triangles);
    updateBoundingBox();
    rebuildFloatArrays();
}
VEXA_RETHROW

void IndexedTriangleMesh::setCheckedData(MeshArray<double> vertices, MeshArray<double> normals,
                                         MeshArray<unsigned> triangles, const std::array<double, 6>& boundingBox)
try {
    if (vertices.size() % 3 != 0 || normals.size() != vertices.size() || triangles.size() % 3 != 0)
        throw std::runtime_error("inconsistent mesh arrays");
    vertices_ = std::move(vertices);
    normals_ = std::move(normals);
    triangles_ = std::move(triangles);
    if (vertices_.empty())
        boundingBox_.fill(0.0);
    else
        boundingBox_ = boundingBox;
    rebuildFloatArrays();
}
VEXA_RETHROW

void IndexedTriangleMesh::recomputeNormals()
try {
    MeshArray<double> sums(vertices_.size(), 0.0);
    for (std::size_t t = 0; t < triangles_.size(); t += 3) {
        const unsigned ia = triangles_[t], ib = triangles_[t + 1], ic = triangles_[t + 2];
        const Vector3D a = getVertex(ia), b = getVertex(ib), c = getVertex(ic);
        // The cross product's length is twice the area: this weights by area.
        const Vector3D n = (b - a).cross(c - a);
        for (unsigned i : {ia, ib, ic}) {
            sums[3 * std::size_t(i)] += n.x;
            sums[3 * std::size_t(i) + 1] += n.y;
            sums[3 * std::size_t(i) + 2] += n.z;
        }
    }
    for (std::size_t i = 0; i < sums.size(); i += 3) {
        const double length = std::sqrt(sums[i] * sums[i] + sums[i + 1] * sums[i + 1] + sums[i + 2] * sums[i + 2]);
        if (length > 0.0 && std::isfinite(length)) {
            sums[i] /= length;
            sums[i + 1] /= length;
            sums[i + 2] /= length;
        }
    }
    normals_ = std::move(sums);
    rebuildFloatArrays();
}
VEXA_RETHROW

void IndexedTriangleMesh::addUnoptimized(std::shared_ptr<IndexedTriangleMesh> other)
try {
    if (!other || other.get() == this) {
        if (other)
            addUnoptimized(std::make_shared<IndexedTriangleMesh>(*other));
        return;
    }
    const std::size_t offset = getVertexCount();
    if (offset + other->getVertexCount() > std::numeric_limits<unsigned>::max())
        throw std::runtime_error("too many vertices");
    const bool wasEmpty = offset == 0;
    vertices_.insert(vertices_.end(), other->vertices_.begin(), other->vertices_.end());
    normals_.insert(normals_.end(), other->normals_.begin(), other->normals_.end());
    triangles_.reserve(triangles_.size() + other->triangles_.size());
    for (unsigned index : other->triangles_)
        triangles_.push_back(index + static_cast<unsigned>(offset));
    if (wasEmpty) {
        updateBoundingBox();
    } else {
        for (std::size_t i = offset; i < getVertexCount(); ++i)
            extendBoundingBox(vertices_.data() + 3 * i);
    }
    if (useFloatArrays_) {
        floatVertices_.insert(floatVertices_.end(), other->vertices_.begin(), other->vertices_.end());
        floatNormals_.insert(floatNormals_.end(), other->normals_.begin(), other->normals_.end());
    }
}
VEXA_RETHROW

Contour IndexedTriangleMesh::intersects(const Plane<double>& plane) const
try {
    Contour contour;
    const Vector3D normal = plane.getNormal();
    const double distance = plane.getDistance();
    for (std::size_t t = 0; t < triangles_.size(); t += 3) {
        Vector3D corner[3];
        double signedDistance[3];
        for (int k = 0; k < 3; ++k) {
            corner[k] = getVertex(triangles_[t + k]);
            signedDistance[k] = normal.dot(corner[k]) + distance;
        }
        Vector3D crossing[2];
        int crossings = 0;
        for (int k = 0; k < 3; ++k) {
            int i0 = k, i1 = (k + 1) % 3;
            const bool negative0 = signedDistance[i0] < 0.0, negative1 = signedDistance[i1] < 0.0;
            if (negative0 == negative1)
                continue;
            // The two triangles sharing an edge see it in opposite directions; computing the
            // crossing with the ends in one fixed order gives both the same point bit for
            // bit, so the segments of a closed mesh join up into closed loops.
            if (lexicographicallyLess(corner[i1], corner[i0]))
                std::swap(i0, i1);
            const double d0 = signedDistance[i0], d1 = signedDistance[i1];
            const double s = d1 / (d1 - d0);
            if (crossings < 2)
                crossing[crossings] = corner[i0] * s + corner[i1] * (1.0 - s);
            ++crossings;
        }
        // A corner on the plane with the rest on the negative side gives a point, not a segment.
        if (crossings == 2 && crossing[0] != crossing[1])
            contour.emplace_back(crossing[0], crossing[1]);
    }
    return contour;
}
VEXA_RETHROW

void IndexedTriangleMesh::setUseFloatArrays(bool use)
try {
    useFloatArrays_ = use;
    rebuildFloatArrays();
}
VEXA_RETHROW

void IndexedTriangleMesh::updateBoundingBox()
{
    boundingBox_.fill(0.0);
    if (vertices_.empty())
        return;
    for (int k = 0; k < 3; ++k)
        boundingBox_[k] = boundingBox_[k + 3] = vertices_[k];
    for (std::size_t i = 3; i < vertices_.size(); i += 3)
        extendBoundingBox(vertices_.data() + i);
}

void IndexedTriangleMesh::extendBoundingBox(const double* p)
{
    for (int k = 0; k < 3; ++k) {
        boundingBox_[k] = std::min(boundingBox_[k], p[k]);
        boundingBox_[k + 3] = std::max(boundingBox_[k + 3], p[k]);
    }
}

void IndexedTriangleMesh::rebuildFloatArrays()
{
    if (!useFloatArrays_) {
        std::vector<float>().swap(floatVertices_);
        std::vector<float>().swap(floatNormals_);
        return;
    }
    floatVertices_.assign(vertices_.begin(), vertices_.end());
    floatNormals_.assign(normals_.begin(), normals_.end());
}

}
