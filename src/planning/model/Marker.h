#pragma once
// One registration marker (a ball of the registration splint) in world coordinates. Shared:
// the Model's list, the commands and the views hold the same object.
#include "vexa/math/Vector3.h"

#include <memory>

class Marker
{
public:
    static std::shared_ptr<Marker> create(const Vexa::Vector3D& position);
    explicit Marker(const Vexa::Vector3D& position) : position_(position) {}

    const Vexa::Vector3D& getPosition() const { return position_; }
    void setPosition(const Vexa::Vector3D& position) { position_ = position; }
    bool isSelected() const { return selected_; }
    void setSelected(bool selected) { selected_ = selected; }

private:
    Vexa::Vector3D position_;
    bool selected_ = false;
};
