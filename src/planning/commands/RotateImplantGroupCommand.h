#pragma once
// Records a finished rotation drag: the poses before it come from the manager's transform
// snapshot (taken when the drag began), the poses after it are the current ones.
#include "planning/model/ImplantManager.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class RotateImplantGroupCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager);
    RotateImplantGroupCommand(std::shared_ptr<ImplantManager> manager);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    ImplantManager::TransformSnapshot before_;
    ImplantManager::TransformSnapshot after_;
};
