#include "planning/commands/DeleteNerveElementCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> DeleteNerveElementCommand::create(std::shared_ptr<Nerve> nerve,
                                                                         Nerve::ElementIterator element) try
{
    return std::make_shared<DeleteNerveElementCommand>(std::move(nerve), element);
}
VEXA_RETHROW

// The element object is kept rather than the iterator, which a later change may invalidate.
DeleteNerveElementCommand::DeleteNerveElementCommand(std::shared_ptr<Nerve> nerve, Nerve::ElementIterator element)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve)), element_(element->second)
{
}

void DeleteNerveElementCommand::execute() try
{
    // The whole map is kept so that undo restores the element in its place among the others.
    before_ = Nerve::ElementMap(nerve_->elementsBegin(), nerve_->elementsEnd());
    nerve_->removeElement(element_);
}
VEXA_RETHROW

void DeleteNerveElementCommand::undo() try
{
    nerve_->setElementContainer(before_);
}
VEXA_RETHROW

std::string DeleteNerveElementCommand::getName() const
{
    return "Delete Nerve Element";
}
