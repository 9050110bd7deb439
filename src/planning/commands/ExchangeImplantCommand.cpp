#include "planning/commands/ExchangeImplantCommand.h"

#include "planning/model/ImplantManager.h"
#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"

#include <stdexcept>

std::shared_ptr<Vexa::AbstractCommand> ExchangeImplantCommand::create(std::shared_ptr<ImplantManager> manager,
                                                                      std::shared_ptr<Implant> old,
                                                                      std::shared_ptr<Implant> replacement) try
{
    return std::make_shared<ExchangeImplantCommand>(std::move(manager), std::move(old), std::move(replacement));
}
VEXA_RETHROW

ExchangeImplantCommand::ExchangeImplantCommand(std::shared_ptr<ImplantManager> manager, std::shared_ptr<Implant> old,
                                               std::shared_ptr<Implant> replacement)
    : Vexa::AbstractCommand(manager && manager->getNumberOfImplant(old) ? undoable : notRecorded),
      manager_(std::move(manager)), old_(std::move(old)), replacement_(std::move(replacement))
{
    if (!manager_ || !old_ || !replacement_)
        throw std::runtime_error("an implant exchange needs the implant manager and both implants");
    replacementTransform_ = replacement_->getTransform();
    replacementGroup_ = replacement_->getGroup();
}

void ExchangeImplantCommand::execute() try
{
    // An implant that is not planned is not exchanged (and the command is not recorded).
    if (getKind() == notRecorded || manager_->getNumberOfImplant(old_) == 0)
        return;
    replacement_->setTransform(old_->getTransform());
    replacement_->setGroup(old_->getGroup());
    manager_->replaceImplant(old_, replacement_);
}
VEXA_RETHROW

void ExchangeImplantCommand::undo() try
{
    if (manager_->getNumberOfImplant(replacement_) == 0)
        return;
    manager_->replaceImplant(replacement_, old_);
    replacement_->setTransform(replacementTransform_);
    replacement_->setGroup(replacementGroup_);
}
VEXA_RETHROW

std::string ExchangeImplantCommand::getName() const
{
    return "Exchange Implant";
}
