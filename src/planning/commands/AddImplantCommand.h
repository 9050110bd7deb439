#pragma once
// Lets the user choose an implant and adds it at the pick point: its axis points out of the
// bone of the chosen jaw, its origin (apex) at the point, or - from the axial view, whose pick
// lies on the shown axial slice - its middle at the point. The choice is made when the command
// is created (views create and run it at once); a cancelled choice gives a command that adds
// nothing and is not recorded, so it leaves no undo step.
#include "vexa/core/AbstractCommand.h"
#include "vexa/math/Matrix44.h"

#include <memory>
#include <string>

class Implant;
class ImplantManager;

class AddImplantCommand : public Vexa::AbstractCommand
{
public:
    // Asks for the implant (the user interface must be installed).
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager,
                                                         const Vexa::Matrix44<double>& transform, int jaw, bool axial);
    // `implant` is the chosen one, already placed; empty when the choice was cancelled.
    AddImplantCommand(std::shared_ptr<ImplantManager> manager, std::shared_ptr<Implant> implant);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    std::shared_ptr<Implant> implant_;
};
