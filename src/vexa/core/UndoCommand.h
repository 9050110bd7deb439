#pragma once
#include "vexa/core/AbstractCommand.h"

namespace Vexa {

// Never recorded; running it undoes the newest command of the process-wide processor.
class UndoCommand : public AbstractCommand
{
public:
    UndoCommand();
    void execute() override;
    void undo() override {}
    std::string getName() const override;
};

}
