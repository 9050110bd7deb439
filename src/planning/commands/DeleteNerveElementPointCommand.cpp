#include "planning/commands/DeleteNerveElementPointCommand.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <stdexcept>

std::shared_ptr<Vexa::AbstractCommand> DeleteNerveElementPointCommand::create(std::shared_ptr<Nerve> nerve,
                                                                              Nerve::PointIterator point) try
{
    return std::make_shared<DeleteNerveElementPointCommand>(std::move(nerve), point);
}
VEXA_RETHROW

DeleteNerveElementPointCommand::DeleteNerveElementPointCommand(std::shared_ptr<Nerve> nerve, Nerve::PointIterator point)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve)), point_(*point)
{
    // Point and element objects are kept: the iterator does not survive an undo.
    const auto element = nerve_->getElement(point);
    if (!element)
        throw std::runtime_error("the nerve point belongs to no element of the nerve");
    element_ = (*element)->second;
}

void DeleteNerveElementPointCommand::execute() try
{
    before_ = element_->getPointContainer();
    auto& points = element_->getPointContainer();
    const auto it = std::find(points.begin(), points.end(), point_);
    if (it != points.end())
        element_->removePoint(it);
}
VEXA_RETHROW

void DeleteNerveElementPointCommand::undo() try
{
    element_->setPointContainer(before_);
}
VEXA_RETHROW

std::string DeleteNerveElementPointCommand::getName() const
{
    return "Delete Nerve Element Point";
}
