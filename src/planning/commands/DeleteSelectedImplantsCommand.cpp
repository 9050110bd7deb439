#include "planning/commands/DeleteSelectedImplantsCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand>
DeleteSelectedImplantsCommand::create(std::shared_ptr<ImplantManager> manager) try
{
    return std::make_shared<DeleteSelectedImplantsCommand>(std::move(manager));
}
VEXA_RETHROW

DeleteSelectedImplantsCommand::DeleteSelectedImplantsCommand(std::shared_ptr<ImplantManager> manager)
    : Vexa::AbstractCommand(undoable), manager_(std::move(manager))
{
}

void DeleteSelectedImplantsCommand::execute() try
{
    // A redo deletes what the first run deleted, whatever is selected by then.
    if (!done_) {
        done_ = true;
        implants_ = manager_->getImplants();
        selection_ = manager_->getSelectedImplants();
    }
    for (const auto& implant : selection_)
        manager_->removeImplant(implant);
}
VEXA_RETHROW

void DeleteSelectedImplantsCommand::undo() try
{
    manager_->setImplants(implants_);
    manager_->setSelection(selection_);
}
VEXA_RETHROW

std::string DeleteSelectedImplantsCommand::getName() const
{
    return "Delete Selected Implants";
}
