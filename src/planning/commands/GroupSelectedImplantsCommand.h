#pragma once
// Makes the selected implants parallel to the first selected one and puts them into one new
// group; undo restores every pose and group, redo the grouped ones (whatever is selected then).
#include "planning/model/ImplantManager.h"
#include "vexa/core/AbstractCommand.h"
#include "vexa/math/Matrix44.h"

#include <memory>
#include <string>
#include <tuple>
#include <vector>

class GroupSelectedImplantsCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager);
    explicit GroupSelectedImplantsCommand(std::shared_ptr<ImplantManager> manager);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    using States = std::vector<std::tuple<ImplantManager::ImplantPtr, Vexa::Matrix44<double>, unsigned>>;
    void apply(const States& states);

    std::shared_ptr<ImplantManager> manager_;
    States before_;
    States after_;
    bool done_ = false;
};
