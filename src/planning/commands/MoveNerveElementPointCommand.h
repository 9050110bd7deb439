#pragma once
// Moves one nerve point from one point to another.
#include "planning/objects/Nerve.h"
#include "vexa/math/Vector3.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class MoveNerveElementPointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve, Nerve::Element::PointPtr point, const Vexa::Vector3D& from, const Vexa::Vector3D& to);
    MoveNerveElementPointCommand(std::shared_ptr<Nerve> nerve, Nerve::Element::PointPtr point, const Vexa::Vector3D& from, const Vexa::Vector3D& to);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Nerve> nerve_;
    Nerve::Element::PointPtr point_;
    Vexa::Vector3D from_;
    Vexa::Vector3D to_;
};
