#pragma once
// Makes the selected implants parallel to the first selected one and puts them into one new
// group; undo restores every pose and group.
#include "planning/model/ImplantManager.h"
#include "vexa/math/Matrix44.h"

#include <tuple>
#include <vector>
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class GroupSelectedImplantsCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager);
    GroupSelectedImplantsCommand(std::shared_ptr<ImplantManager> manager);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    std::vector<std::tuple<ImplantManager::ImplantPtr, Vexa::Matrix44<double>, unsigned>> before_;
};
