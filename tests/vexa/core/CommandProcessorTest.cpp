#include "vexa/core/CommandProcessor.h"
#include "vexa/core/RedoCommand.h"
#include "vexa/core/UndoCommand.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Vexa::AbstractCommand;
using Vexa::CommandProcessor;

// Appends its letter to a shared text on execute and removes it again on undo.
class AppendCommand : public AbstractCommand
{
public:
    AppendCommand(std::string& text, char letter, int kind = undoable, bool failing = false)
        : AbstractCommand(kind), text_(text), letter_(letter), failing_(failing)
    {
    }
    void execute() override
    {
        if (failing_)
            throw std::runtime_error("cannot append");
        text_.push_back(letter_);
    }
    void undo() override
    {
        ASSERT_FALSE(text_.empty());
        ASSERT_EQ(text_.back(), letter_);
        text_.pop_back();
    }
    std::string getName() const override { return std::string("append ") + letter_; }

private:
    std::string& text_;
    char letter_;
    bool failing_;
};

TEST(CommandProcessor, KindsUndoRedoAndANewCommandClearsRedo)
{
    CommandProcessor processor;
    std::string text;
    processor.execute(std::make_shared<AppendCommand>(text, 'a', AbstractCommand::notRecorded));
    EXPECT_FALSE(processor.canUndo());
    for (char c : std::string("xyz"))
        processor.execute(std::make_shared<AppendCommand>(text, c));
    processor.undo();
    processor.undo();
    EXPECT_EQ(text, "ax");
    processor.redo();
    EXPECT_EQ(text, "axy");
    for (int i = 0; i < 3; ++i)
        processor.undo(); // the last one finds nothing to undo
    EXPECT_EQ(text, "a");
    processor.redo();
    processor.redo();
    EXPECT_EQ(text, "axy");

    // A new undoable command after an undo: "z" can no longer be redone.
    processor.execute(std::make_shared<AppendCommand>(text, 'q'));
    EXPECT_FALSE(processor.canRedo());
    processor.undo();
    processor.undo();
    EXPECT_EQ(text, "ax");

    // A command that fails to run is not recorded, and the history stays as it was.
    EXPECT_THROW(processor.execute(std::make_shared<AppendCommand>(text, 'f', AbstractCommand::undoable, true)),
                 std::runtime_error);
    processor.redo();
    EXPECT_EQ(text, "axy");

    // One that clears the history.
    processor.execute(std::make_shared<AppendCommand>(text, 'd', AbstractCommand::clearsHistory));
    EXPECT_EQ(text, "axyd");
    EXPECT_FALSE(processor.canUndo());
    EXPECT_FALSE(processor.canRedo());

    EXPECT_THROW(AppendCommand(text, 'x', 3), std::runtime_error);
    EXPECT_THROW(processor.execute(nullptr), std::runtime_error);
}

TEST(CommandProcessor, UndoAndRedoCommandsWorkOnTheProcessWideProcessorWithoutBeingRecorded)
{
    const auto processor = CommandProcessor::getInstance();
    ASSERT_EQ(processor, CommandProcessor::getInstance());
    processor->clear();
    std::string text;
    processor->execute(std::make_shared<AppendCommand>(text, 'a'));
    processor->execute(std::make_shared<AppendCommand>(text, 'b'));

    Vexa::UndoCommand undo;
    EXPECT_EQ(undo.getKind(), AbstractCommand::notRecorded);
    undo.execute();
    EXPECT_EQ(text, "a");
    processor->execute(std::make_shared<Vexa::UndoCommand>());
    EXPECT_EQ(text, "");
    processor->execute(std::make_shared<Vexa::RedoCommand>());
    EXPECT_EQ(text, "a");
    EXPECT_TRUE(processor->canRedo()) << "running a redo command must not clear the redo stack";
    Vexa::RedoCommand().execute();
    EXPECT_EQ(text, "ab");
    processor->undo();
    processor->undo();
    EXPECT_FALSE(processor->canUndo()) << "undo/redo commands were recorded";
    processor->clear();
}

}
