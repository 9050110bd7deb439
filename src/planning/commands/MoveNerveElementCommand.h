#pragma once
// Moves a whole nerve element (its centre) from one point to another.
#include "planning/objects/Nerve.h"
#include "vexa/math/Vector3.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class MoveNerveElementCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve, Nerve::ElementPtr element, const Vexa::Vector3D& from, const Vexa::Vector3D& to);
    MoveNerveElementCommand(std::shared_ptr<Nerve> nerve, Nerve::ElementPtr element, const Vexa::Vector3D& from, const Vexa::Vector3D& to);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    void moveTo(const Vexa::Vector3D& target);

    std::shared_ptr<Nerve> nerve_;
    Nerve::ElementPtr element_;
    Vexa::Vector3D from_;
    Vexa::Vector3D to_;
};
