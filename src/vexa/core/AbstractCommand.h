#pragma once
// An undoable command, run through the CommandProcessor.
#include <string>

namespace Vexa {

class AbstractCommand
{
public:
    // Kinds: what the command processor does with a command after running it.
    static constexpr int notRecorded = 0;   // keeps nothing
    static constexpr int undoable = 1;      // puts it on the undo stack
    static constexpr int clearsHistory = 2; // empties both stacks

    // Throws for a kind other than 0, 1 or 2.
    explicit AbstractCommand(int kind);
    virtual ~AbstractCommand() = default;

    virtual void execute() = 0;
    virtual void undo() = 0;
    virtual std::string getName() const = 0;

    int getKind() const { return kind_; }

private:
    int kind_;
};

}
