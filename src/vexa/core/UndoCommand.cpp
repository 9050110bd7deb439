#include "vexa/core/UndoCommand.h"

#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"

namespace Vexa {

UndoCommand::UndoCommand()
    : AbstractCommand(notRecorded)
{
}

void UndoCommand::execute()
try {
    CommandProcessor::getInstance()->undo();
}
VEXA_RETHROW

std::string UndoCommand::getName() const
{
    return "Undo";
}

}
