#pragma once
// Deletes one nerve element; undo puts it back in its place.
#include "planning/objects/Nerve.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeleteNerveElementCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Nerve> nerve, Nerve::ElementIterator element);
    DeleteNerveElementCommand(std::shared_ptr<Nerve> nerve, Nerve::ElementIterator element);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Nerve> nerve_;
    Nerve::ElementPtr element_;
    Nerve::ElementMap before_;
};
