#include "planning/commands/MoveNerveElementPointCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> MoveNerveElementPointCommand::create(std::shared_ptr<Nerve> nerve,
                                                                            Nerve::Element::PointPtr point,
                                                                            const Vexa::Vector3D& from,
                                                                            const Vexa::Vector3D& to) try
{
    return std::make_shared<MoveNerveElementPointCommand>(std::move(nerve), std::move(point), from, to);
}
VEXA_RETHROW

MoveNerveElementPointCommand::MoveNerveElementPointCommand(std::shared_ptr<Nerve> nerve, Nerve::Element::PointPtr point,
                                                           const Vexa::Vector3D& from, const Vexa::Vector3D& to)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve)), point_(std::move(point)), from_(from), to_(to)
{
}

void MoveNerveElementPointCommand::execute() try
{
    nerve_->movePoint(point_, to_);
}
VEXA_RETHROW

void MoveNerveElementPointCommand::undo() try
{
    nerve_->movePoint(point_, from_);
}
VEXA_RETHROW

std::string MoveNerveElementPointCommand::getName() const
{
    return "Move Nerve Element Point";
}
