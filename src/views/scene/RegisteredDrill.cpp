#include "views/scene/RegisteredDrill.h"

#include "navigation/NavigationSnapshot.h"
#include "planning/model/Model.h"
#include "vexa/math/Matrix44.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"

#include <cmath>

std::shared_ptr<Vexa::IndexedTriangleMesh> RegisteredDrill::meshFor(const NavigationSnapshot& tick, const Model& model)
{
    const double length = tick.drillLength;
    if (!tick.drillRegistered || !(length > 0.0) || !std::isfinite(length)) {
        mesh_.reset();
        return nullptr;
    }
    const auto shape = model.getDrillMesh();
    if (!mesh_ || length != length_ || shape != shape_) {
        mesh_ = build(shape, length);
        length_ = length;
        shape_ = shape;
    }
    return mesh_;
}

std::shared_ptr<Vexa::IndexedTriangleMesh> RegisteredDrill::build(const std::shared_ptr<Vexa::IndexedTriangleMesh>& shape,
                                                                  double length)
{
    const double shapeLength = shape && shape->getTriangleCount() > 0 ? -shape->getBoundingBox()[0] : 0.0;
    if (!(shapeLength > 0.0)) {
        // Half a turn about z points the tube's x axis along -x.
        Vexa::Matrix44<double> frame;
        frame.setRotation(Vexa::Vector3D(0, 0, 1), M_PI);
        return Vexa::createCylinderMesh(frame, length, 2.0, 2.0, true, 24, 1);
    }
    // The point (the last pointLength mm) keeps its shape and moves to the registered tip; the
    // shank in between is stretched by s, which turns its normals by the inverse, (nx / s, ny, nz).
    constexpr double pointLength = 2.0;
    const double point = length > pointLength && shapeLength > pointLength ? pointLength : 0.0;
    const double s = (length - point) / (shapeLength - point);
    auto vertices = shape->getVertices();
    auto normals = shape->getNormals();
    for (std::size_t i = 0; i + 2 < vertices.size(); i += 3) {
        const bool shank = vertices[i] >= point - shapeLength;
        vertices[i] = shank ? vertices[i] * s : vertices[i] - (length - shapeLength);
        if (!shank || i + 2 >= normals.size())
            continue;
        Vexa::Vector3D n(normals[i] / s, normals[i + 1], normals[i + 2]);
        if (n.length() > 0.0)
            n = n.getNormalized();
        normals[i] = n.x, normals[i + 1] = n.y, normals[i + 2] = n.z;
    }
    auto mesh = std::make_shared<Vexa::IndexedTriangleMesh>();
    mesh->setData(std::move(vertices), std::move(normals), shape->getTriangles());
    return mesh;
}
