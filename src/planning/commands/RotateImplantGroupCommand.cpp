#include "planning/commands/RotateImplantGroupCommand.h"

#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> RotateImplantGroupCommand::create(std::shared_ptr<ImplantManager> manager) try
{
    return std::make_shared<RotateImplantGroupCommand>(std::move(manager));
}
VEXA_RETHROW

RotateImplantGroupCommand::RotateImplantGroupCommand(std::shared_ptr<ImplantManager> manager)
    : Vexa::AbstractCommand(undoable), manager_(std::move(manager)), before_(manager_->getTransformSnapshot())
{
    for (const auto& [implant, transform] : before_)
        after_.emplace_back(implant, implant->getTransform());
}

void RotateImplantGroupCommand::execute() try
{
    for (const auto& [implant, transform] : after_)
        manager_->setImplantTransform(implant, transform);
}
VEXA_RETHROW

void RotateImplantGroupCommand::undo() try
{
    for (const auto& [implant, transform] : before_)
        manager_->setImplantTransform(implant, transform);
}
VEXA_RETHROW

std::string RotateImplantGroupCommand::getName() const
{
    return "Rotate Implant Group";
}
