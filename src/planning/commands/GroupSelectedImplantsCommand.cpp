#include "planning/commands/GroupSelectedImplantsCommand.h"

#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> GroupSelectedImplantsCommand::create(std::shared_ptr<ImplantManager> manager) try
{
    return std::make_shared<GroupSelectedImplantsCommand>(std::move(manager));
}
VEXA_RETHROW

GroupSelectedImplantsCommand::GroupSelectedImplantsCommand(std::shared_ptr<ImplantManager> manager)
    : Vexa::AbstractCommand(undoable), manager_(std::move(manager))
{
}

void GroupSelectedImplantsCommand::execute() try
{
    before_.clear();
    for (const auto& implant : manager_->getSelectedImplants())
        before_.emplace_back(implant, implant->getTransform(), implant->getGroup());
    manager_->setSelectedImplantsParallel();
}
VEXA_RETHROW

void GroupSelectedImplantsCommand::undo() try
{
    for (const auto& [implant, transform, group] : before_) {
        manager_->setImplantTransform(implant, transform);
        manager_->setImplantGroup(implant, group);
    }
}
VEXA_RETHROW

std::string GroupSelectedImplantsCommand::getName() const
{
    return "Group Implants";
}
