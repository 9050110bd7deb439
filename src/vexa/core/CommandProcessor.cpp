#include "vexa/core/CommandProcessor.h"

#include "vexa/core/ExceptionStack.h"

#include <stdexcept>

namespace Vexa {

std::shared_ptr<CommandProcessor> CommandProcessor::getInstance()
{
    static const std::shared_ptr<CommandProcessor> instance = std::make_shared<CommandProcessor>();
    return instance;
}

void CommandProcessor::execute(std::shared_ptr<AbstractCommand> command)
try {
    if (!command)
        throw std::runtime_error("CommandProcessor::execute: no command given");
    command->execute();
    switch (command->getKind()) {
    case AbstractCommand::undoable:
        undoStack_.push_back(std::move(command));
        redoStack_.clear();
        break;
    case AbstractCommand::clearsHistory:
        clear();
        break;
    default:
        break;
    }
}
VEXA_RETHROW

void CommandProcessor::undo()
try {
    if (undoStack_.empty())
        return;
    auto command = undoStack_.back();
    command->undo();
    undoStack_.pop_back();
    redoStack_.push_back(std::move(command));
}
VEXA_RETHROW

void CommandProcessor::redo()
try {
    if (redoStack_.empty())
        return;
    auto command = redoStack_.back();
    command->execute();
    redoStack_.pop_back();
    undoStack_.push_back(std::move(command));
}
VEXA_RETHROW

bool CommandProcessor::canUndo() const
{
    return !undoStack_.empty();
}

bool CommandProcessor::canRedo() const
{
    return !redoStack_.empty();
}

void CommandProcessor::clear()
{
    undoStack_.clear();
    redoStack_.clear();
}

}
