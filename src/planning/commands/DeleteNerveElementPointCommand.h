#pragma once
// Deletes one point of a nerve element; undo gives the element its points back.
#include "planning/objects/Nerve.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeleteNerveElementPointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve, Nerve::PointIterator point);
    DeleteNerveElementPointCommand(std::shared_ptr<Nerve> nerve, Nerve::PointIterator point);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Nerve> nerve_;
    Nerve::Element::PointPtr point_;
    Nerve::ElementPtr element_;
    Nerve::Element::PointContainer before_;
};
