#include "planning/commands/MoveNerveElementCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> MoveNerveElementCommand::create(std::shared_ptr<Nerve> nerve,
                                                                       Nerve::ElementPtr element,
                                                                       const Vexa::Vector3D& from,
                                                                       const Vexa::Vector3D& to) try
{
    return std::make_shared<MoveNerveElementCommand>(std::move(nerve), std::move(element), from, to);
}
VEXA_RETHROW

MoveNerveElementCommand::MoveNerveElementCommand(std::shared_ptr<Nerve> nerve, Nerve::ElementPtr element,
                                                 const Vexa::Vector3D& from, const Vexa::Vector3D& to)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve)), element_(std::move(element)), from_(from), to_(to)
{
}

void MoveNerveElementCommand::moveTo(const Vexa::Vector3D& target) try
{
    // Looked up afresh: the element's iterator changes when an undo restores the map.
    if (const auto it = nerve_->findElement(element_))
        nerve_->moveElement(*it, target);
}
VEXA_RETHROW

void MoveNerveElementCommand::execute() try
{
    moveTo(to_);
}
VEXA_RETHROW

void MoveNerveElementCommand::undo() try
{
    moveTo(from_);
}
VEXA_RETHROW

std::string MoveNerveElementCommand::getName() const
{
    return "Move Nerve Element";
}
