#pragma once
// Lets the user choose an implant (once) and adds it at the pick point: its axis points out of
// the bone of the chosen jaw, its origin (apex) at the point, or - from the axial view, whose
// pick lies on the shown axial slice - its middle at the point. A cancelled choice adds nothing,
// now or at a redo.
#include "vexa/math/Matrix44.h"

class Implant;
class ImplantManager;
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class AddImplantCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager, const Vexa::Matrix44<double>& transform, int jaw, bool axial);
    AddImplantCommand(std::shared_ptr<ImplantManager> manager, const Vexa::Matrix44<double>& transform, int jaw, bool axial);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    Vexa::Matrix44<double> transform_;
    int jaw_;
    bool axial_;
    bool asked_ = false;
    std::shared_ptr<Implant> implant_; // empty when the choice was cancelled
};
