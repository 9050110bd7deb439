#pragma once
// Deletes the whole nerve; undo brings back every element.
class Nerve;
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeleteNerveCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve);
    DeleteNerveCommand(std::shared_ptr<Nerve> nerve);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Nerve> nerve_;
    std::shared_ptr<Nerve> copy_;
};
