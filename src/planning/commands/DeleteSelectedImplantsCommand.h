#pragma once
// Deletes the implants selected when it first runs; undo restores the list and the selection.
#include "planning/model/ImplantManager.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeleteSelectedImplantsCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<ImplantManager> manager);
    explicit DeleteSelectedImplantsCommand(std::shared_ptr<ImplantManager> manager);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<ImplantManager> manager_;
    ImplantManager::ImplantList implants_;
    ImplantManager::SelectionList selection_; // the deleted implants
    bool done_ = false;
};
