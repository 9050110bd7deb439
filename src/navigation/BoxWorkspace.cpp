#include "navigation/BoxWorkspace.h"

#include "navigation/Workspace.h"
#include "vexa/mesh/MeshFactory.h"

namespace Vexa {

std::shared_ptr<Workspace> BoxWorkspace::create() const
{
    auto mesh = [](const Box& box) { return createBoxMesh(Matrix44<double>(box.corner), box.size); };
    return Workspace::create(mesh(inner), mesh(outer), mesh(volume), goodAngle, fairAngle, thirdValue, reference,
                             cameraToWorkspace);
}

}
