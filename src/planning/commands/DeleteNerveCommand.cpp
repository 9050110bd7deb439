#include "planning/commands/DeleteNerveCommand.h"

#include "planning/objects/Nerve.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> DeleteNerveCommand::create(std::shared_ptr<Nerve> nerve) try
{
    return std::make_shared<DeleteNerveCommand>(std::move(nerve));
}
VEXA_RETHROW

DeleteNerveCommand::DeleteNerveCommand(std::shared_ptr<Nerve> nerve)
    : Vexa::AbstractCommand(undoable), nerve_(std::move(nerve))
{
}

void DeleteNerveCommand::execute() try
{
    copy_ = Nerve::copy(nerve_);
    nerve_->clear();
}
VEXA_RETHROW

void DeleteNerveCommand::undo() try
{
    if (copy_)
        nerve_->assign(copy_);
}
VEXA_RETHROW

std::string DeleteNerveCommand::getName() const
{
    return "Delete Nerve";
}
