#include "vexa/core/RedoCommand.h"

#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"

namespace Vexa {

RedoCommand::RedoCommand()
    : AbstractCommand(notRecorded)
{
}

void RedoCommand::execute()
try {
    CommandProcessor::getInstance()->redo();
}
VEXA_RETHROW

std::string RedoCommand::getName() const
{
    return "Redo";
}

}
