#pragma once
// Factories of the simple closed and open meshes the planning objects and tracking
// workspaces are made of. Every mesh is wound counter-clockwise seen from outside.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <memory>

namespace Vexa {

// A tube along the frame's x axis from 0 to `length`: rings + 1 vertex rings of `segments`
// vertices (the first on the frame's y axis, turning towards its z axis) whose radius goes
// linearly from startDiameter / 2 to endDiameter / 2; 2 * segments * rings side triangles.
// Closed ends add a centre vertex and a fan of `segments` triangles per end (with their own
// copies of the rim vertices, so that the caps carry flat normals).
// Throws std::runtime_error for fewer than 3 segments or no ring.
std::shared_ptr<IndexedTriangleMesh> createCylinderMesh(const Matrix44<double>& frame, double length,
                                                        double startDiameter, double endDiameter,
                                                        bool closedEnds, unsigned segments, unsigned rings);

// An ellipsoid centred at the frame's origin with the given diameters along the frame's x,
// y and z axes: poles on the z axis, `rings` latitude bands, `segments` vertices around.
// Throws std::runtime_error for fewer than 3 segments or 2 rings.
std::shared_ptr<IndexedTriangleMesh> createEllipsoidMesh(const Matrix44<double>& frame, const Vector3<double>& diameters,
                                                         unsigned segments, unsigned rings);

// A box with the corners (0,0,0), (sx,0,0), (sx,sy,0), (0,sy,0), (0,0,sz), (sx,0,sz),
// (sx,sy,sz), (0,sy,sz) transformed by the matrix, as vertices 0 to 7, and twelve triangles.
std::shared_ptr<IndexedTriangleMesh> createBoxMesh(const Matrix44<double>& transform, const Vector3<double>& size);

}
