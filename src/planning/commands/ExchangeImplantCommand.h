#pragma once
// Exchanges a planned implant for another type: the replacement takes its pose, group, place
// in the list and selection state. An implant not in the list is not exchanged: the command
// then does nothing and is not recorded.
#include "vexa/core/AbstractCommand.h"
#include "vexa/math/Matrix44.h"

#include <memory>
#include <string>

class Implant;
class ImplantManager;

class ExchangeImplantCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager,
                                                         std::shared_ptr<Implant> old,
                                                         std::shared_ptr<Implant> replacement);
    ExchangeImplantCommand(std::shared_ptr<ImplantManager> manager, std::shared_ptr<Implant> old,
                           std::shared_ptr<Implant> replacement);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    std::shared_ptr<Implant> old_;
    std::shared_ptr<Implant> replacement_;
    Vexa::Matrix44<double> replacementTransform_;
    unsigned replacementGroup_ = 0;
};
