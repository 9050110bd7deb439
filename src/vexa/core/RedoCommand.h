#pragma once
#include "vexa/core/AbstractCommand.h"

namespace Vexa {

// Never recorded; running it redoes the newest undone command of the process-wide processor.
class RedoCommand : public AbstractCommand
{
public:
    RedoCommand();
    void execute() override;
    void undo() override {}
    std::string getName() const override;
};

}
