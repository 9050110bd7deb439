#pragma once
// Mesh files: our own SFFBin format and binary STL.
//
// SFFBin, little-endian: bytes 0-7 "SFFBIN\0\0"; uint32 version (1); uint32 vertex count V;
// uint32 triangle count T; uint32 flags (bit 0: normals present); then V * 3 float32
// positions, V * 3 float32 normals when flagged, T * 3 uint32 vertex indices.
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <istream>
#include <memory>
#include <ostream>
#include <string>

namespace Vexa {

// A new mesh, or an empty pointer when the file cannot be read or is no valid SFFBin file
// (wrong magic or version, fewer bytes than its counts announce, an index naming no vertex).
// Normals missing from the file are computed from the triangles.
std::shared_ptr<IndexedTriangleMesh> readSFFBinFile(const std::string& file);
std::shared_ptr<IndexedTriangleMesh> readSFFBinStream(std::istream& in);

// Writes the mesh with its normals. The file is replaced only once it is completely written.
// Throws std::runtime_error "could not write SFFBin file " + file; when the file system refused
// the bytes, a WriteError that carries the cause.
void writeSFFBinFile(const IndexedTriangleMesh& mesh, const std::string& file);
// Throws std::runtime_error "could not write SFFBin stream" when the stream fails.
void writeSFFBinStream(const IndexedTriangleMesh& mesh, std::ostream& out);

// Binary STL: 80-byte header, uint32 facet count, per facet a float32 normal, three float32
// corners and two attribute bytes. Never an empty pointer: a file that cannot be opened,
// holds no facet, or is shorter than its facet count announces gives a mesh without
// triangles. Without merging, every facet gets three vertices of its own carrying the facet
// normal (computed from the corners when the stored one is zero); with merging, corners with
// equal coordinates share one vertex whose normal is the area-weighted mean of its facets'.
// A corner that is not a finite point (NaN, infinity) refuses the file: std::runtime_error
// naming the facet (and the file).
std::shared_ptr<IndexedTriangleMesh> readSTLFile(const std::string& file, bool mergeVertices);
std::shared_ptr<IndexedTriangleMesh> readSTLStream(std::istream& in, bool mergeVertices);

}
