#pragma once
// Adds a nerve point of the given position and diameter (with the filling points across the
// panoramic line borders) to the traced element on its side of the nerve, creating the element
// when there is none. Undo gives the element its points back; an element this command created
// is removed again.
#include "planning/objects/Nerve.h"
#include "vexa/math/Vector3.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class AddNerveElementPointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve, const Vexa::Vector3D& point, double diameter);
    AddNerveElementPointCommand(std::shared_ptr<Nerve> nerve, const Vexa::Vector3D& point, double diameter);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Nerve> nerve_;
    Vexa::Vector3D position_;
    double diameter_;
    bool executed_ = false;
    Nerve::ElementPtr element_;
    bool createdElement_ = false;
    Nerve::Element::PointContainer before_;
    Nerve::Element::PointContainer after_;
};
