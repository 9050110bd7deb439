#include "planning/commands/MoveImplantCommand.h"

#include "planning/model/ImplantManager.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> MoveImplantCommand::create(std::shared_ptr<ImplantManager> manager,
                                                                  const std::shared_ptr<Implant> implant,
                                                                  const Vexa::Vector3D& from, const Vexa::Vector3D& to) try
{
    return std::make_shared<MoveImplantCommand>(std::move(manager), implant, from, to);
}
VEXA_RETHROW

MoveImplantCommand::MoveImplantCommand(std::shared_ptr<ImplantManager> manager, const std::shared_ptr<Implant> implant,
                                       const Vexa::Vector3D& from, const Vexa::Vector3D& to)
    : Vexa::AbstractCommand(undoable), manager_(std::move(manager)), implant_(implant), from_(from), to_(to)
{
}

void MoveImplantCommand::execute() try
{
    manager_->setImplantPosition(implant_, to_);
}
VEXA_RETHROW

void MoveImplantCommand::undo() try
{
    manager_->setImplantPosition(implant_, from_);
}
VEXA_RETHROW

std::string MoveImplantCommand::getName() const
{
    return "Move Implant";
}
