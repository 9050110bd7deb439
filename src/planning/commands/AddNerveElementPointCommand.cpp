#include "planning/commands/AddNerveElementPointCommand.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <vector>

std::shared_ptr<Vexa::AbstractCommand> AddNerveElementPointCommand::create(std::shared_ptr<Nerve> nerve,
                                                                           const Vexa::Vector3D& point,
                                                                           double diameter) try
{
    return std::make_shared<AddNerveElementPointCommand>(std::move(nerve), point, diameter);
}
VEXA_RETHROW

AddNerveElementPointCommand::AddNerveElementPointCommand(std::shared_ptr<Nerve> nerve, const Vexa::Vector3D& point,
                                                         double diameter)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve)), position_(point), diameter_(diameter)
{
}

void AddNerveElementPointCommand::execute() try
{
    if (!executed_) {
        executed_ = true;
        std::vector<Nerve::ElementPtr> existing;
        for (auto it = nerve_->elementsBegin(); it != nerve_->elementsEnd(); ++it)
            existing.push_back(it->second);
        const auto point = Nerve::Element::Point::create(position_, diameter_);
        element_ = nerve_->addPoint(point, before_, true).second->second;
        createdElement_ = std::find(existing.begin(), existing.end(), element_) == existing.end();
        after_ = element_->getPointContainer();
        return;
    }
    // A redo restores the very objects of the first run, so later commands that hold them
    // still find them.
    element_->setPointContainer(after_);
    if (createdElement_ && !nerve_->findElement(element_))
        nerve_->addElement(element_);
}
VEXA_RETHROW

void AddNerveElementPointCommand::undo() try
{
    if (!element_)
        return;
    element_->setPointContainer(before_);
    if (createdElement_)
        nerve_->removeElement(element_);
}
VEXA_RETHROW

std::string AddNerveElementPointCommand::getName() const
{
    return "Add Nerve Element Point";
}
