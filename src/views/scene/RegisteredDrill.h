#pragma once
// The drill as every view draws it: the registered drill, its tip at the registered length
// along -x of the drill origin and its shank back to the origin in the handpiece. "Drill.sff"
// gives the shape (drawn along -x, its tip at its far end): its point is kept and its shank
// stretched to the registered length; without it the drill is a 2 mm rod. Nothing is drawn while no drill
// is registered. The mesh is rebuilt only when the registered length changes.
#include <memory>

namespace Vexa {
class IndexedTriangleMesh;
}
class Model;
struct NavigationSnapshot;

class RegisteredDrill
{
public:
    // The mesh for the registration of the tick (drill-origin coordinates), in the Model's
    // shape, or none.
    std::shared_ptr<Vexa::IndexedTriangleMesh> meshFor(const NavigationSnapshot& tick, const Model& model);

    // The shape with its shank stretched (or the plain rod built) so that its tip lies at
    // x = -length.
    static std::shared_ptr<Vexa::IndexedTriangleMesh> build(const std::shared_ptr<Vexa::IndexedTriangleMesh>& shape,
                                                            double length);

private:
    std::shared_ptr<Vexa::IndexedTriangleMesh> shape_;
    double length_ = 0.0;
    std::shared_ptr<Vexa::IndexedTriangleMesh> mesh_;
};
