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
    // The first run groups the selection; a redo puts the same implants back as it left them.
    if (!done_) {
        done_ = true;
        for (const auto& implant : manager_->getSelectedImplants())
            before_.emplace_back(implant, implant->getTransform(), implant->getGroup());
        manager_->setSelectedImplantsParallel();
        for (const auto& [implant, transform, group] : before_)
            after_.emplace_back(implant, implant->getTransform(), implant->getGroup());
        return;
    }
    apply(after_);
}
VEXA_RETHROW

void GroupSelectedImplantsCommand::undo() try
{
    apply(before_);
}
VEXA_RETHROW

void GroupSelectedImplantsCommand::apply(const States& states) try
{
    for (const auto& [implant, transform, group] : states) {
        manager_->setImplantTransform(implant, transform);
        manager_->setImplantGroup(implant, group);
    }
}
VEXA_RETHROW

std::string GroupSelectedImplantsCommand::getName() const
{
    return "Group Implants";
}
