#pragma once
// Surface generation job: the iso-surface of a voxel volume as a closed, indexed triangle
// mesh in world millimetres.
//
// A voxel whose value is at or above the iso value counts as inside. Voxel i is sampled at
// its centre ((i + 0.5) * spacing), and everything beyond the volume counts as outside, so
// the surface is closed where the object meets the volume's border, on the border itself. Triangles run
// counter-clockwise seen from outside; vertex normals point outwards (along the falling
// grey values). The volume is cut into slabs along z that all cores work on at once; the
// slabs' meshes are joined through the vertices of the layers they share.
#include "vexa/algorithm/AbstractAlgorithm.h"
#include "vexa/math/Vector3.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/volume/VolumeData.h"

#include <memory>

namespace Vexa {

class MarchingCubes : public AbstractAlgorithm
{
public:
    // offset is added to every vertex after the volume's transform (the position of a
    // sub-volume's origin in the full volume).
    MarchingCubes(std::shared_ptr<const VolumeData<unsigned short>> volume, unsigned short isoValue,
                  const Vector3D& offset = Vector3D());

    // Worker threads; 0 (the default) uses every core the process may run on.
    void setThreadCount(unsigned threads) { threadCount_ = threads; }

    bool start() override;

    // The surface after a completed `start`; empty before, on failure and when cancelled.
    std::shared_ptr<IndexedTriangleMesh> getResult() const { return result_; }

private:
    bool generate();

    std::shared_ptr<const VolumeData<unsigned short>> volume_;
    unsigned short isoValue_;
    Vector3D offset_;
    unsigned threadCount_ = 0;
    std::shared_ptr<IndexedTriangleMesh> result_;
};

}
