#include "PlanningTestSupport.h"

#include "planning/commands/AddPanoramicLinePointCommand.h"
#include "planning/commands/DeletePanoramicLineCommand.h"
#include "planning/commands/DeletePanoramicLinePointCommand.h"
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/commands/MovePanoramicLinePointCommand.h"
#include "vexa/slice/Slice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
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

}

// Each command's result and its exact undo and redo, twice over, with the cases the random
// sequences below reach only by chance: an add refused next to a corner (its undo must not
// delete that corner), a deleted corner deleted again by a redo after the undo rebuilt the list,
// and corners dropped within 4 mm of or onto a neighbour, which is out of the list during the drag.
TEST(PanoramicLineCommands, CommandsUndoAndRedoExactly)
{
    using Corners = std::vector<Vector3D>;
    using Make = std::function<std::shared_ptr<Vexa::AbstractCommand>(const std::shared_ptr<LineOwner>&)>;
    const Corners two{{0, 0, 0}, {20, 0, 0}}, four{{0, 0, 0}, {20, 0, 0}, {40, 10, 0}, {60, 0, 0}},
        bend{{0, 0, 0}, {20, 0, 0}, {40, 0, 0}, {60, 20, 0}};
    const auto add = [](Vector3D at) {
        return Make([at](const auto& owner) { return AddPanoramicLinePointCommand::create(owner, at); });
    };
    // The view's drag of the second corner through the given points, then the command.
    const auto drag = [](std::vector<Vector3D> path) {
        return Make([path](const auto& owner) {
            const auto corner = owner->line->getCornerPoints()[1];
            for (const Vector3D& p : path)
                owner->line->movePoint(corner, p);
            return MovePanoramicLinePointCommand::create(owner->line, corner, Vector3D(20, 0, 0), path.back());
        });
    };
    const struct
    {
        const char* name;
        Corners corners;
        Make make;
        Corners after;
    } cases[] = {
        {"Add Panoramic Line Point", two, add({10, 3, 0}), {{0, 0, 0}, {10, 3, 0}, {20, 0, 0}}},
        {"Add Panoramic Line Point", two, add({21, 1, 0}), two},
        {"Add Panoramic Line Point", two, add({25, 0, 0}), {{0, 0, 0}, {20, 0, 0}, {25, 0, 0}}},
        {"Delete Panoramic Line Point", four,
         [](const auto& owner) {
             return DeletePanoramicLinePointCommand::create(owner, std::next(owner->line->cornersBegin()));
         },
         {{0, 0, 0}, {40, 10, 0}, {60, 0, 0}}},
        {"Delete Panoramic Line", four, [](const auto& owner) { return DeletePanoramicLineCommand::create(owner); }, {}},
        {"Move Panoramic Line Point", bend, drag({{22, 5, 0}, {25, 8, 0}}), {{0, 0, 0}, {25, 8, 0}, {40, 0, 0}, {60, 20, 0}}},
        {"Move Panoramic Line Point", bend, drag({{37, 1, 0}}), {{0, 0, 0}, {40, 0, 0}, {60, 20, 0}}},
        {"Move Panoramic Line Point", bend, drag({{30, 0, 0}, {40.0003, 0, 0}}), {{0, 0, 0}, {40, 0, 0}, {60, 20, 0}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        auto owner = std::make_shared<LineOwner>();
        PanoramicLine& line = *owner->line;
        line.setPoints(c.corners);
        const LineState before = stateOf(line);
        const auto command = c.make(owner);
        EXPECT_EQ(c.name, command->getName());
        EXPECT_EQ(Vexa::AbstractCommand::undoable, command->getKind());
        command->execute();
        EXPECT_EQ(c.after, worldCorners(line));
        const LineState after = stateOf(line);
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& [step, expected] : {std::pair{&Vexa::AbstractCommand::undo, &before},
                                                 {&Vexa::AbstractCommand::execute, &after}}) {
                line.clearChangedState();
                ((*command).*step)();
                EXPECT_EQ(*expected, stateOf(line)) << "pass " << pass;
                EXPECT_TRUE(before == after || line.hasChanged()) << "pass " << pass;
            }
        }
    }
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
            else if ((choice < 0.88 && !undoStack.empty()) || !redoStack.empty())
            {
                // An undo moves the last command over to the redo stack, a redo moves it back.
                const bool undo = choice < 0.88 && !undoStack.empty();
                auto& from = undo ? undoStack : redoStack;
                auto& to = undo ? redoStack : undoStack;
                ++(undo ? undos : redos);
                undo ? from.back()->undo() : from.back()->execute();
                to.push_back(from.back());
                from.pop_back();
                ASSERT_EQ(states[undoStack.size()], stateOf(line)) << (undo ? "undo " : "redo ") << undoStack.size()
                    << ": " << to.back()->getName() << " sequence " << sequence << " step " << step;
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
