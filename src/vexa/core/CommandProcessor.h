#pragma once
// Runs commands and keeps the undoable ones for undo and redo. Used from the GUI thread only.
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <vector>

namespace Vexa {

class CommandProcessor
{
public:
    // The process-wide processor, created on first use with empty stacks.
    static std::shared_ptr<CommandProcessor> getInstance();

    CommandProcessor() = default;

    CommandProcessor(const CommandProcessor&) = delete;
    CommandProcessor& operator=(const CommandProcessor&) = delete;

    // Runs the command, then by its kind: 1 puts it on the undo stack (and empties the redo
    // stack, whose commands no longer fit the changed state), 2 empties both stacks, 0 keeps
    // nothing. A command whose `execute` throws is not recorded; the exception passes on.
    // Declared ahead of the destructor: it is the processor's first virtual operation.
    virtual void execute(std::shared_ptr<AbstractCommand> command);
    virtual ~CommandProcessor() = default;

    // Undoes the newest command of the undo stack and moves it to the redo stack; nothing
    // when the stack is empty. When the command's `undo` throws, it stays where it was.
    void undo();
    // Runs the newest command of the redo stack again and moves it to the undo stack;
    // nothing when the stack is empty. When `execute` throws, it stays where it was.
    void redo();

    bool canUndo() const;
    bool canRedo() const;
    // Empties both stacks (a new planning: the old commands refer to objects that are gone).
    void clear();

private:
    std::vector<std::shared_ptr<AbstractCommand>> undoStack_;
    std::vector<std::shared_ptr<AbstractCommand>> redoStack_;
};

}
