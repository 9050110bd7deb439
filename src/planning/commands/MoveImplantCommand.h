#pragma once
// Moves an implant (its origin) from one point to another. Made at the end of a drag, when the
// implant already stands at "to".
class Implant;
class ImplantManager;
#include "vexa/math/Vector3.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class MoveImplantCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager, const std::shared_ptr<Implant> implant, const Vexa::Vector3D& from, const Vexa::Vector3D& to);
    MoveImplantCommand(std::shared_ptr<ImplantManager> manager, const std::shared_ptr<Implant> implant, const Vexa::Vector3D& from, const Vexa::Vector3D& to);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    std::shared_ptr<Implant> implant_;
    Vexa::Vector3D from_;
    Vexa::Vector3D to_;
};
