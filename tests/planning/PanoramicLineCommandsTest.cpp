#include "PlanningTestSupport.h"

#include "planning/commands/AddPanoramicLinePointCommand.h"
#include "planning/commands/DeletePanoramicLineCommand.h"
#include "planning/commands/DeletePanoramicLinePointCommand.h"
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/commands/MovePanoramicLinePointCommand.h"
#include "vexa/slice/Slice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace PlanningTest;

namespace {

class LineOwner : public IPanoramicLineOwner
{
public:
    std::shared_ptr<PanoramicLine> line = makeLine();
    std::shared_ptr<PanoramicLine> getPanoramicLine() const override { return line; }
};

// Everything an undo must bring back: corners in order with their positions, and borders.
struct LineState
{
    std::vector<Vector3D> positions, uppers, lowers;
    bool operator==(const LineState&) const = default;
};

void PrintTo(const LineState& state, std::ostream* out)
{
    for (const Vector3D& p : state.positions)
        *out << "(" << p.x << ", " << p.z << ") ";
}

LineState stateOf(const PanoramicLine& line)
{
    LineState state;
    for (auto it = line.cornersBegin(); it != line.cornersEnd(); ++it)
    {
        state.positions.push_back((*it)->getPosition());
        state.uppers.push_back((*it)->getUpperPoint());
        state.lowers.push_back((*it)->getLowerPoint());
    }
    return state;
}

// Executes, undoes and redoes a command, checking the line before and after each step.
void roundTrip(const std::shared_ptr<Vexa::AbstractCommand>& command, PanoramicLine& line, const LineState& before,
               const LineState& after)
{
    for (int pass = 0; pass < 2; ++pass)
    {
        line.clearChangedState();
        command->undo();
        EXPECT_EQ(before, stateOf(line)) << "undo, pass " << pass;
        EXPECT_TRUE(line.hasChanged());
        line.clearChangedState();
        command->execute();
        EXPECT_EQ(after, stateOf(line)) << "redo, pass " << pass;
        EXPECT_TRUE(line.hasChanged());
    }
}

}

TEST(PanoramicLineCommands, AddUndoRedo)
{
    auto owner = std::make_shared<LineOwner>();
    owner->line->setPoints({{0, 0, 0}, {20, 0, 0}});
    const LineState before = stateOf(*owner->line);

    auto add = AddPanoramicLinePointCommand::create(owner, Vector3D(10, 3, 0));
    EXPECT_EQ("Add Panoramic Line Point", add->getName());
    EXPECT_EQ(1, add->getKind());
    add->execute();
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {10, 3, 0}, {20, 0, 0}}), worldCorners(*owner->line));
    roundTrip(add, *owner->line, before, stateOf(*owner->line));
    add->undo();
    EXPECT_EQ(1u, owner->line->getSlices().size());

    // Next to an existing corner the add makes nothing, and its undo must not delete that corner.
    auto refused = AddPanoramicLinePointCommand::create(owner, Vector3D(21, 1, 0));
    refused->execute();
    EXPECT_EQ(before, stateOf(*owner->line));
    refused->undo();
    EXPECT_EQ(before, stateOf(*owner->line));

    // A corner added 5 mm beyond the end: undo removes it and nothing else.
    auto beyond = AddPanoramicLinePointCommand::create(owner, Vector3D(25, 0, 0));
    beyond->execute();
    EXPECT_EQ(3u, owner->line->numberOfCorners());
    roundTrip(beyond, *owner->line, before, stateOf(*owner->line));
}

TEST(PanoramicLineCommands, DeleteCornerAndLineUndoRedo)
{
    auto owner = std::make_shared<LineOwner>();
    owner->line->setPoints({{0, 0, 0}, {20, 0, 0}, {40, 10, 0}, {60, 0, 0}});
    const LineState before = stateOf(*owner->line);

    auto remove = DeletePanoramicLinePointCommand::create(owner, std::next(owner->line->cornersBegin(), 1));
    EXPECT_EQ("Delete Panoramic Line Point", remove->getName());
    remove->execute();
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {40, 10, 0}, {60, 0, 0}}), worldCorners(*owner->line));
    // Redo after undo deletes the same corner again although undo rebuilt the list.
    roundTrip(remove, *owner->line, before, stateOf(*owner->line));
    remove->undo();
    EXPECT_EQ(3u, owner->line->getSlices().size());

    auto removeLine = DeletePanoramicLineCommand::create(owner);
    EXPECT_EQ("Delete Panoramic Line", removeLine->getName());
    removeLine->execute();
    EXPECT_EQ(0u, owner->line->numberOfCorners());
    roundTrip(removeLine, *owner->line, before, stateOf(*owner->line));
}

TEST(PanoramicLineCommands, MoveUndoRedo)
{
    auto owner = std::make_shared<LineOwner>();
    auto& line = owner->line;
    line->setPoints({{0, 0, 0}, {20, 0, 0}, {40, 0, 0}, {60, 20, 0}});
    const LineState before = stateOf(*line);

    // An ordinary drag.
    auto corner = line->getCornerPoints()[1];
    line->movePoint(corner, Vector3D(22, 5, 0));
    line->movePoint(corner, Vector3D(25, 8, 0));
    auto move = MovePanoramicLinePointCommand::create(line, corner, Vector3D(20, 0, 0), Vector3D(25, 8, 0));
    EXPECT_EQ("Move Panoramic Line Point", move->getName());
    move->execute();
    EXPECT_EQ(Vector3D(25, 8, 0), worldCorners(*line)[1]);
    roundTrip(move, *line, before, stateOf(*line));
    move->undo();

    // Dropped within 4 mm of the neighbour: merged away; undo brings it back at its start.
    line->movePoint(corner, Vector3D(37, 1, 0));
    move = MovePanoramicLinePointCommand::create(line, corner, Vector3D(20, 0, 0), Vector3D(37, 1, 0));
    move->execute();
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {40, 0, 0}, {60, 20, 0}}), worldCorners(*line));
    roundTrip(move, *line, before, stateOf(*line));
    move->undo();

    // Dropped onto the neighbour: the neighbour is out of the list when the command runs.
    line->movePoint(corner, Vector3D(30, 0, 0));
    line->movePoint(corner, Vector3D(40.0003, 0, 0));
    ASSERT_EQ(3u, line->numberOfCorners());
    move = MovePanoramicLinePointCommand::create(line, corner, Vector3D(20, 0, 0), Vector3D(40.0003, 0, 0));
    move->execute();
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {40, 0, 0}, {60, 20, 0}}), worldCorners(*line));
    const LineState merged = stateOf(*line);
    move->undo();
    EXPECT_EQ(before, stateOf(*line));
    EXPECT_EQ(4u, line->numberOfCorners());
    roundTrip(move, *line, before, merged);
}

// Random sequences of the user's edits through the commands, with the view's drags in
// between. Undo and redo must reproduce the recorded states exactly; the line must stay sound.
TEST(PanoramicLineCommands, RandomEditSequencesKeepTheLineSound)
{
    long sequences = 100000;
    if (const char* configured = std::getenv("MORVANTA_EDIT_SEQUENCES"))
        sequences = std::atol(configured);

    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto owner = std::make_shared<LineOwner>();
    PanoramicLine& line = *owner->line;
    long undos = 0, redos = 0, drags = 0;

    for (long sequence = 0; sequence < sequences; ++sequence)
    {
        line.deleteLine();
        std::vector<std::shared_ptr<Vexa::AbstractCommand>> undoStack, redoStack;
        std::vector<LineState> states{stateOf(line)}; // states[k]: after k commands on the undo stack

        auto randomPoint = [&] {
            if (line.numberOfCorners() > 0 && unit(random) < 0.4)
            {
                // Near an existing corner, to hit the merge and pick distances.
                const auto corners = line.getCornerPoints();
                const auto& c = corners[static_cast<std::size_t>(unit(random) * corners.size())];
                const double angle = unit(random) * 6.283;
                const double radius = unit(random) < 0.2 ? 0.0005 * unit(random) : 6 * unit(random);
                return line.toWorld(c->getPosition()) + Vector3D(std::cos(angle), std::sin(angle), 0) * radius;
            }
            return Vector3D(unit(random) * 80 - 40, unit(random) * 80 - 40, 0);
        };
        auto record = [&](std::shared_ptr<Vexa::AbstractCommand> command) {
            line.clearChangedState();
            command->execute();
            undoStack.push_back(command);
            redoStack.clear();
            states.resize(undoStack.size());
            states.push_back(stateOf(line));
        };

        for (int step = 0; step < 20; ++step)
        {
            const LineState before = stateOf(line);
            const double choice = unit(random);
            const unsigned n = line.numberOfCorners();
            if (choice < 0.35)
                record(AddPanoramicLinePointCommand::create(owner, randomPoint()));
            else if (choice < 0.6 && n > 0)
            {
                ++drags;
                const auto corner = line.getCornerPoints()[static_cast<std::size_t>(unit(random) * n)];
                const Vector3D from = line.toWorld(corner->getPosition());
                Vector3D to = from;
                for (int k = 1 + static_cast<int>(unit(random) * 3); k > 0; --k)
                {
                    to = randomPoint();
                    line.movePoint(corner, to);
                }
                record(MovePanoramicLinePointCommand::create(owner->line, corner, from, to));
            }
            else if (choice < 0.72 && n > 0)
                record(DeletePanoramicLinePointCommand::create(
                    owner, std::next(line.cornersBegin(), static_cast<long>(unit(random) * n))));
            else if (choice < 0.74)
                record(DeletePanoramicLineCommand::create(owner));
            else if (choice < 0.88 && !undoStack.empty())
            {
                ++undos;
                undoStack.back()->undo();
                redoStack.push_back(undoStack.back());
                undoStack.pop_back();
                ASSERT_EQ(states[undoStack.size()], stateOf(line))
                    << "undo " << undoStack.size() << ": " << redoStack.back()->getName() << " sequence " << sequence
                    << " step " << step;
            }
            else if (!redoStack.empty())
            {
                ++redos;
                redoStack.back()->execute();
                undoStack.push_back(redoStack.back());
                redoStack.pop_back();
                ASSERT_EQ(states[undoStack.size()], stateOf(line))
                    << "redo " << undoStack.size() << ": " << undoStack.back()->getName() << " sequence " << sequence
                    << " step " << step;
            }

            // Whatever changed the line must have raised its changed flag.
            if (!(stateOf(line) == before))
            {
                ASSERT_TRUE(line.hasChanged()) << "sequence " << sequence << " step " << step;
            }
            line.clearChangedState();
            ASSERT_EQ(line.numberOfCorners() < 2 ? 0u : line.numberOfCorners() - 1, line.getSlices().size());
            for (auto it = line.cornersBegin(); it != line.cornersEnd(); ++it)
            {
                ASSERT_TRUE(isFinite((*it)->getPosition()));
                ASSERT_TRUE(isFinite((*it)->getUpperPoint()));
                ASSERT_TRUE(isFinite((*it)->getLowerPoint()));
            }
            for (const auto& slice : line.getSlices())
            {
                ASSERT_TRUE(std::isfinite(slice->getWidth()));
                for (int i = 0; i < 16; ++i)
                    ASSERT_TRUE(std::isfinite(slice->getTransform()[i]));
            }
            if (line.numberOfCorners() >= 2)
            {
                ASSERT_TRUE(isFinite(line.getWorldPos(line.getLength())));
            }
        }
    }
    EXPECT_GT(undos, sequences);
    EXPECT_GT(redos, sequences / 4);
    EXPECT_GT(drags, sequences);
}
