#include "vexa/core/AbstractCommand.h"

#include "vexa/core/ExceptionStack.h"

#include <stdexcept>

namespace Vexa {

AbstractCommand::AbstractCommand(int kind)
try : kind_(kind) {
    if (kind != notRecorded && kind != undoable && kind != clearsHistory)
        throw std::runtime_error("AbstractCommand: unknown command kind " + std::to_string(kind));
}
VEXA_RETHROW

}
