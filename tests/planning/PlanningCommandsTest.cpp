#include "ModelTestSupport.h"

#include "planning/commands/AddImplantCommand.h"
#include "platform/ApplicationFolder.h"
#include "planning/commands/AddMarkerCommand.h"
#include "planning/commands/AddNerveElementPointCommand.h"
#include "planning/commands/DeleteNerveCommand.h"
#include "planning/commands/DeleteNerveElementCommand.h"
#include "planning/commands/DeleteNerveElementPointCommand.h"
#include "planning/commands/DeletePanoramicLineCommand.h"
#include "planning/commands/DeleteSelectedImplantsCommand.h"
#include "planning/commands/DetectMarkerCommand.h"
#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/commands/Generate3DModelCommand.h"
#include "planning/commands/GroupSelectedImplantsCommand.h"
#include "planning/commands/MoveImplantCommand.h"
#include "planning/commands/MoveMarkerCommand.h"
#include "planning/commands/MoveNerveElementCommand.h"
#include "planning/commands/MoveNerveElementPointCommand.h"
#include "planning/commands/RotateImplantGroupCommand.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Nerve.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <QCoreApplication>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>

using namespace PlanningTest;
using Vexa::Matrix44;

namespace {

bool near(const Vector3D& a, const Vector3D& b)
{
    return (a - b).length() < 1e-9;
}

// Everything a user can see of a planning that the commands change.
struct Observed
{
    struct ImplantState
    {
        Implant* implant;
        Matrix44<double> transform;
        unsigned group;
    };
    struct PointState
    {
        Nerve::Element::Point* point;
        Vector3D position;
        double offset;
        double diameter;
    };
    struct ElementState
    {
        Nerve::Element* element;
        bool side;
        std::vector<PointState> points;
    };
    std::vector<ImplantState> implants;
    std::vector<Implant*> selection;
    std::vector<std::tuple<Marker*, Vector3D, bool>> markers;
    std::vector<ElementState> nerve;
    std::vector<Vector3D> corners;
    int jaw = 0;

    static Observed of(Model& model)
    {
        Observed o;
        auto manager = model.getImplantManager();
        for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it)
            o.implants.push_back({it->get(), (*it)->getTransform(), (*it)->getGroup()});
        for (auto it = manager->selectedBegin(); it != manager->selectedEnd(); ++it)
            o.selection.push_back(it->get());
        for (const auto& marker : model.getMarkers())
            o.markers.emplace_back(marker.get(), marker->getPosition(), marker->isSelected());
        auto nerve = model.getNerve();
        for (auto it = nerve->elementsBegin(); it != nerve->elementsEnd(); ++it) {
            ElementState element{it->second.get(), it->first, {}};
            for (const auto& point : it->second->getPointContainer())
                element.points.push_back({point.get(), point->position, point->offset, point->diameter});
            o.nerve.push_back(element);
        }
        o.corners = worldCorners(*model.getPanoramicLine());
        o.jaw = model.getJaw();
        return o;
    }

    bool operator==(const Observed& b) const
    {
        auto sameImplants = std::equal(implants.begin(), implants.end(), b.implants.begin(), b.implants.end(),
                                       [](const ImplantState& x, const ImplantState& y) {
                                           return x.implant == y.implant && x.group == y.group
                                                  && Vexa::isEqual(x.transform, y.transform, 1e-9);
                                       });
        auto sameMarkers = std::equal(markers.begin(), markers.end(), b.markers.begin(), b.markers.end(),
                                      [](const auto& x, const auto& y) {
                                          return std::get<0>(x) == std::get<0>(y)
                                                 && near(std::get<1>(x), std::get<1>(y))
                                                 && std::get<2>(x) == std::get<2>(y);
                                      });
        auto samePoints = [](const PointState& x, const PointState& y) {
            return x.point == y.point && near(x.position, y.position) && std::abs(x.offset - y.offset) < 1e-9
                   && x.diameter == y.diameter;
        };
        auto sameNerve = std::equal(nerve.begin(), nerve.end(), b.nerve.begin(), b.nerve.end(),
                                    [&](const ElementState& x, const ElementState& y) {
                                        return x.element == y.element && x.side == y.side
                                               && std::equal(x.points.begin(), x.points.end(), y.points.begin(),
                                                             y.points.end(), samePoints);
                                    });
        auto sameCorners = std::equal(corners.begin(), corners.end(), b.corners.begin(), b.corners.end(), near);
        return sameImplants && selection == b.selection && sameMarkers && sameNerve && sameCorners && jaw == b.jaw;
    }
};

// A planning with three implants (two grouped), a selection, markers, a nerve with an element
// on either side of the divide plane (x = 0) and a straight panoramic line along x.
struct Fixture
{
    Fixture()
    {
        model = std::make_shared<Model>(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
        manager = model->getImplantManager();
        nerve = model->getNerve();
        model->getPanoramicLine()->setPoints({{-50, 0, 0}, {100, 0, 0}});
        model->getPanoramicLine()->setHeight(40.0);
        a = makeImplant(Matrix44<double>(Vector3D(10, 0, 0)), 1);
        b = makeImplant(Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, 0, 1), Vector3D(0, -1, 0), Vector3D(20, 0, 0)));
        c = makeImplant(Matrix44<double>(Vector3D(30, 0, 0)), 1);
        for (const auto& implant : {a, b, c})
            manager->addImplant(implant);
        manager->selectImplant(b);
        manager->selectImplant(a);
        markers = {Marker::create({1, 2, 3}), Marker::create({4, 5, 6})};
        model->setMarker(markers);
        model->setJaw(2);
        for (const double x : {10.0, 20.0, 30.0, -20.0, -10.0}) {
            Nerve::Element::PointContainer previous;
            nerve->addPoint(Nerve::Element::Point::create({x, 0, -3}, 3.0), previous, false);
        }
    }

    Nerve::ElementPtr elementOnSide(bool side)
    {
        for (auto it = nerve->elementsBegin(); it != nerve->elementsEnd(); ++it)
            if (it->first == side)
                return it->second;
        return nullptr;
    }

    std::shared_ptr<Model> model;
    std::shared_ptr<ImplantManager> manager;
    std::shared_ptr<Nerve> nerve;
    std::shared_ptr<Implant> a, b, c;
    std::vector<std::shared_ptr<Marker>> markers;
};

// 3 mm balls of the reference marker at the given centres in a 60 x 66 x 30 mm volume.
std::shared_ptr<Volume> makeMarkerVolume(const std::vector<Vector3D>& balls)
{
    const double s = 0.5;
    auto volume = std::make_shared<Volume>(120, 132, 60, s, s, s);
    std::fill(volume->getVoxels(), volume->getVoxels() + volume->getVoxelCount(), 1000);
    for (const Vector3D& centre : balls)
        for (int z = int((centre.z - 2.5) / s); z <= int((centre.z + 2.5) / s); ++z)
            for (int y = int((centre.y - 2.5) / s); y <= int((centre.y + 2.5) / s); ++y)
                for (int x = int((centre.x - 2.5) / s); x <= int((centre.x + 2.5) / s); ++x) {
                    int inside = 0;
                    for (int k = 0; k < 64; ++k) {
                        const Vector3D p((x + (k % 4 + 0.5) / 4) * s, (y + (k / 4 % 4 + 0.5) / 4) * s,
                                         (z + (k / 16 + 0.5) / 4) * s);
                        inside += (p - centre).length() <= 1.5;
                    }
                    const double f = inside / 64.0;
                    volume->at(unsigned(x), unsigned(y), unsigned(z)) =
                        static_cast<unsigned short>(std::lround(1000.0 * (1 - f) + 3800.0 * f));
                }
    return volume;
}

// A bright block [10, 30] x [5, 15] x [5, 20] mm in a 60 x 40 x 30 mm volume.
std::shared_ptr<Volume> makeBlockVolume()
{
    auto volume = std::make_shared<Volume>(120, 80, 60, 0.5, 0.5, 0.5);
    for (unsigned z = 0; z < 60; ++z)
        for (unsigned y = 0; y < 80; ++y)
            for (unsigned x = 0; x < 120; ++x) {
                const Vector3D p((x + 0.5) * 0.5, (y + 0.5) * 0.5, (z + 0.5) * 0.5);
                const bool inside = p.x > 10 && p.x < 30 && p.y > 5 && p.y < 15 && p.z > 5 && p.z < 20;
                volume->at(x, y, z) = inside ? 2000 : 100;
            }
    return volume;
}

struct UndoableCase
{
    const char* name;
    // Runs before the "before" state is taken (may be empty).
    std::function<void(Fixture&)> prepare;
    // Runs after the "before" state is taken: a drag's live change, then the command.
    std::function<std::shared_ptr<Vexa::AbstractCommand>(Fixture&)> make;
};

}

TEST(PlanningCommands, ExecuteUndoRedoRestoreTheObservableState)
{
    UiInstaller installer;
    const std::vector<UndoableCase> cases{
        {"Add Implant", {}, [&](Fixture& f) {
             installer.ui->implantChoice = IPlanningUi::ImplantChoice{makeImplant(Matrix44<double>()), true};
             return AddImplantCommand::create(f.manager, Matrix44<double>(Vector3D(40, 0, 0)), 2, false);
         }},
        {"Add Marker", {}, [](Fixture& f) { return AddMarkerCommand::create(f.model, {7, 8, 9}); }},
        {"Add Nerve Element Point", {},
         [](Fixture& f) { return AddNerveElementPointCommand::create(f.nerve, {45, 0, -3}, 3.0); }},
        {"Add Nerve Element Point", {}, [](Fixture& f) {
             // Between two points: the new one goes into the chain's middle.
             return AddNerveElementPointCommand::create(f.nerve, {15, 0, -2}, 2.5);
         }},
        {"Add Nerve Element Point",
         // No element on that side: the command creates one.
         [](Fixture& f) { f.nerve->removeElement(f.elementOnSide(false)); },
         [](Fixture& f) {
             return AddNerveElementPointCommand::create(f.nerve, {-30, 0, -3}, 3.0);
         }},
        {"Delete Nerve", {}, [](Fixture& f) { return DeleteNerveCommand::create(f.nerve); }},
        {"Delete Nerve Element", {},
         [](Fixture& f) { return DeleteNerveElementCommand::create(f.nerve, f.nerve->elementsBegin()); }},
        {"Delete Nerve Element Point", {}, [](Fixture& f) {
             auto& points = f.elementOnSide(true)->getPointContainer();
             return DeleteNerveElementPointCommand::create(f.nerve, std::next(points.begin()));
         }},
        {"Delete Selected Implants", {}, [](Fixture& f) { return DeleteSelectedImplantsCommand::create(f.manager); }},
        {"Exchange Implant", {}, [](Fixture& f) {
             auto replacement = makeImplant(Matrix44<double>(Vector3D(0, 50, 0)), 7);
             return ExchangeImplantCommand::create(f.manager, f.b, replacement);
         }},
        {"Group Implants", {}, [](Fixture& f) { return GroupSelectedImplantsCommand::create(f.manager); }},
        {"Move Implant", {}, [](Fixture& f) {
             const Vector3D from = f.c->getTransform().getTranslation();
             f.manager->setImplantPosition(f.c, {33, 4, 1}); // the drag
             return MoveImplantCommand::create(f.manager, f.c, from, {33, 4, 1});
         }},
        {"Move Marker", {}, [](Fixture& f) {
             f.model->setMarkerPosition(f.markers[1], {6, 6, 6});
             return MoveMarkerCommand::create(f.model, f.markers[1], {4, 5, 6}, {6, 6, 6});
         }},
        {"Move Nerve Element", {}, [](Fixture& f) {
             auto element = f.elementOnSide(true);
             const Vector3D from = element->getCenter();
             element->move(from + Vector3D(5, 0, -1));
             return MoveNerveElementCommand::create(f.nerve, element, from, from + Vector3D(5, 0, -1));
         }},
        {"Move Nerve Element Point", {}, [](Fixture& f) {
             auto point = f.elementOnSide(true)->getPointContainer().back();
             const Vector3D from = point->position;
             f.nerve->movePoint(point, {33, 1, -4});
             return MoveNerveElementPointCommand::create(f.nerve, point, from, {33, 1, -4});
         }},
        {"Rotate Implant Group", {}, [](Fixture& f) {
             f.manager->prepareTransforming(f.a); // group 1: a and c
             f.manager->rotateImplant(f.a, {1, 0, 0}, 0.3);
             f.manager->rotateImplant(f.a, {0, 1, 0}, -0.1);
             return RotateImplantGroupCommand::create(f.manager);
         }},
        {"Rotate Implant Group", {}, [](Fixture& f) {
             f.manager->prepareTransforming(f.b); // ungrouped
             f.manager->rotateImplant(f.b, {0, 0, 1}, 1.0);
             return RotateImplantGroupCommand::create(f.manager);
         }},
        {"Delete Panoramic Line", {}, [](Fixture& f) { return DeletePanoramicLineCommand::create(f.model); }},
    };

    for (const UndoableCase& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        Vexa::CommandProcessor processor;
        if (c.prepare)
            c.prepare(f);
        const Observed before = Observed::of(*f.model);
        const auto command = c.make(f);
        EXPECT_EQ(Vexa::AbstractCommand::undoable, command->getKind());
        EXPECT_EQ(c.name, command->getName());
        processor.execute(command);
        const Observed after = Observed::of(*f.model);
        EXPECT_FALSE(before == after); // the command did something
        for (int round = 0; round < 2; ++round) {
            processor.undo();
            EXPECT_EQ(before, Observed::of(*f.model)) << "round " << round;
            processor.redo();
            EXPECT_EQ(after, Observed::of(*f.model)) << "round " << round;
        }
        EXPECT_TRUE(f.model->hasChanged());
    }
}

TEST(PlanningCommands, RedoRepeatsTheFirstRunAndNoOpsLeaveNoUndoStep)
{
    UiInstaller installer;
    Fixture f;
    Vexa::CommandProcessor processor;
    // Delete and group act at a redo on what they acted on first, not on the selection then.
    for (const auto make : {&DeleteSelectedImplantsCommand::create, &GroupSelectedImplantsCommand::create}) {
        f.manager->setSelection({f.b, f.c});
        processor.execute(make(f.manager));
        const Observed done = Observed::of(*f.model);
        processor.undo();
        f.manager->setSelection({f.a});
        processor.redo();
        Observed again = Observed::of(*f.model);
        again.selection = done.selection;
        EXPECT_EQ(done, again);
        processor.undo();
    }
    // An exchange of an implant that is not planned, and a cancelled implant choice: nothing
    // changes and no undo step is left.
    const Observed before = Observed::of(*f.model);
    const auto stranger = makeImplant(Matrix44<double>());
    processor.clear();
    processor.execute(ExchangeImplantCommand::create(f.manager, stranger, makeImplant(Matrix44<double>())));
    processor.execute(AddImplantCommand::create(f.manager, Matrix44<double>(), 2, false));
    EXPECT_EQ(before, Observed::of(*f.model));
    EXPECT_FALSE(processor.canUndo());
}

TEST(PlanningCommands, AddImplantPlacesTheChosenImplant)
{
    UiInstaller installer;
    auto& ui = *installer.ui;
    auto manager = ImplantManager::create();
    const Matrix44<double> pick(Vector3D(10, 20, 30));

    // Mandible: axis up, origin (apex) at the pick.
    auto implant = makeImplant(Matrix44<double>(), 0, 12.0);
    ui.implantChoice = IPlanningUi::ImplantChoice{implant, true};
    auto command = AddImplantCommand::create(manager, pick, 2, false);
    command->execute();
    ASSERT_EQ(1u, ui.implantDialogs.size());
    const std::string database = Platform::applicationPath("ImplantDatabase/");
    EXPECT_EQ(database, ui.implantDialogs[0].first);
    EXPECT_TRUE(ui.implantDialogs[0].second); // preset: mandible unless the jaw is the maxilla
    EXPECT_EQ(implant, manager->getImplant(1));
    EXPECT_EQ(Vector3D(0, 0, 1), implant->getTransform().getColumn(2));
    EXPECT_EQ(Vector3D(10, 20, 30), implant->getTransform().getTranslation());

    // Maxilla from the axial view: axis down, the middle at the pick; a right-handed frame.
    auto upper = makeImplant(Matrix44<double>(), 0, 12.0);
    ui.implantChoice = IPlanningUi::ImplantChoice{upper, false};
    AddImplantCommand::create(manager, pick, 1, true)->execute();
    EXPECT_FALSE(ui.implantDialogs[1].second);
    EXPECT_EQ(Vector3D(0, 0, -1), upper->getTransform().getColumn(2));
    EXPECT_EQ(Vector3D(10, 20, 36), upper->getTransform().getTranslation());
    const Matrix44<double> t = upper->getTransform();
    EXPECT_DOUBLE_EQ(1.0, t.getColumn(0).cross(t.getColumn(1)).dot(t.getColumn(2)));
    EXPECT_EQ(2u, manager->numberOfImplants());

    // Jaw undetermined: the dialog starts at the mandible.
    ui.implantChoice.reset();
    auto cancelled = AddImplantCommand::create(manager, pick, 0, false);
    cancelled->execute();
    EXPECT_TRUE(ui.implantDialogs[2].second);
    EXPECT_EQ(2u, manager->numberOfImplants());
    cancelled->undo();
    cancelled->execute(); // a cancelled choice is not asked again
    EXPECT_EQ(3u, ui.implantDialogs.size());
    EXPECT_EQ(2u, manager->numberOfImplants());

    // Without a user interface: a clear error, nothing added.
    IPlanningUi::install(nullptr);
    EXPECT_THROW(AddImplantCommand::create(manager, pick, 2, false)->execute(), std::runtime_error);
    EXPECT_EQ(2u, manager->numberOfImplants());
}

TEST(PlanningCommands, MarkerDetection)
{
    UiInstaller installer;
    auto& ui = *installer.ui;
    const auto& geometry = Vexa::getReferenceMarkerGeometry();
    std::vector<Vector3D> balls;
    for (const auto& g : geometry)
        balls.push_back(g + Vector3D(12, 33, 15));

    // Found: six markers in geometry order, automatic, detected, done; jaw and nerve plane follow.
    {
        Fixture f;
        f.model->setData(makeData(makeMarkerVolume(balls)));
        Vexa::CommandProcessor processor;
        processor.execute(MoveMarkerCommand::create(f.model, f.markers[0], {1, 2, 3}, {1, 2, 4}));
        processor.undo();
        ASSERT_TRUE(processor.canRedo());
        processor.execute(MoveMarkerCommand::create(f.model, f.markers[0], {1, 2, 3}, {1, 2, 4}));
        ASSERT_TRUE(processor.canUndo());
        auto command = DetectMarkerCommand::create(f.model);
        EXPECT_EQ(Vexa::AbstractCommand::clearsHistory, command->getKind());
        processor.execute(command);
        EXPECT_FALSE(processor.canUndo());
        EXPECT_FALSE(processor.canRedo());
        EXPECT_EQ(1u, ui.jobs.size());
        EXPECT_TRUE(ui.questions.empty());
        const auto& markers = f.model->getMarkers();
        ASSERT_EQ(6u, markers.size());
        for (std::size_t i = 0; i < 6; ++i)
            EXPECT_LT((markers[i]->getPosition() - balls[i]).length(), 0.3) << i;
        EXPECT_TRUE(f.model->isMarkerDetected());
        EXPECT_EQ(Model::AutomaticMarkerDetection, f.model->getMarkerDetectionMethode());
        EXPECT_TRUE(f.model->getSettings()->isMarkerDetectionDone());
        // The reference geometry turns counter-clockwise seen from +z: mandible.
        EXPECT_EQ(Constants::Mandible, f.model->getJaw());
        EXPECT_TRUE(f.model->getNerve()->getDividePlane().getSignedDistance(markers[1]->getPosition()) != 0.0);
    }

    // Not found (no balls, a cancelled dialog, no volume): the question; Yes leads to state 5.
    const char* question = "Attention|Automatic marker detection failed.\n\n Do you want to place the markers "
                           "manually?\nClick 'no' to skip the detection. (Morvanta treatment is not possible "
                           "without markers.)";
    struct Failure
    {
        const char* name;
        bool volume;
        bool cancel;
        bool answer;
    };
    const Failure failures[] = {{"no balls, yes", true, false, true},
                                {"no balls, no", true, false, false},
                                {"cancelled", true, true, true},
                                {"no volume", false, false, true}};
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        Fixture f;
        if (failure.volume)
            f.model->setData(makeData(makeMarkerVolume({})));
        f.model->setStateAndUpdate(1);
        ui.questions.clear();
        ui.answer = failure.answer;
        ui.cancelJobs = failure.cancel;
        const Observed before = Observed::of(*f.model);
        DetectMarkerCommand::create(f.model)->execute();
        ASSERT_EQ(1u, ui.questions.size());
        EXPECT_EQ(question, ui.questions[0]);
        EXPECT_EQ(failure.answer ? 5 : 1, f.model->getState());
        EXPECT_TRUE(f.model->getSettings()->isMarkerDetectionDone());
        EXPECT_EQ(before, Observed::of(*f.model)); // the markers stay as they were
        EXPECT_FALSE(f.model->isMarkerDetected());
        ui.cancelJobs = false;
    }
}

TEST(PlanningCommands, Generate3DModel)
{
    UiInstaller installer;
    auto& ui = *installer.ui;
    auto setUp = [](int device) {
        Fixture f;
        f.model->setData(makeData(makeBlockVolume(), device));
        f.model->getPanoramicLine()->setPoints({{5, 10, 0}, {35, 10, 0}});
        f.model->setMinVoxelValue(1000);
        return f;
    };

    // CT: the window's low value as iso value; surface, then reduction; the block's surface.
    {
        Fixture f = setUp(Vexa::DicomInformation::CT);
        Vexa::CommandProcessor processor;
        processor.execute(MoveMarkerCommand::create(f.model, f.markers[0], {1, 2, 3}, {1, 2, 4}));
        auto command = Generate3DModelCommand::create(f.model, nullptr);
        EXPECT_EQ(Vexa::AbstractCommand::clearsHistory, command->getKind());
        processor.execute(command);
        EXPECT_FALSE(processor.canUndo());
        EXPECT_EQ((std::vector<std::string>{"", "Optimizing Data"}), ui.jobs);
        EXPECT_TRUE(ui.thresholdRequests.empty());
        const auto mesh = f.model->get3DModel();
        ASSERT_TRUE(mesh);
        EXPECT_GT(mesh->getTriangleCount(), 0u);
        EXPECT_TRUE(mesh->isUsingFloatArrays());
        const auto& box = mesh->getBoundingBox(); // world millimetres
        const double expected[6] = {10, 5, 5, 30, 15, 20};
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(expected[i], box[i], 0.5) << i;

        // Replacing asks first; No keeps the model.
        ui.jobs.clear();
        ui.answer = false;
        processor.execute(Generate3DModelCommand::create(f.model, nullptr));
        EXPECT_EQ(1u, ui.questions.size());
        EXPECT_EQ("Attention|Do you really want to replace the existing 3D model?", ui.questions[0]);
        EXPECT_EQ(mesh, f.model->get3DModel());
        EXPECT_TRUE(ui.jobs.empty());
        ui.answer = true;
        processor.execute(Generate3DModelCommand::create(f.model, nullptr));
        EXPECT_NE(mesh, f.model->get3DModel());
        EXPECT_EQ(2u, ui.jobs.size());

        // A cancelled job changes nothing and reports nothing.
        const auto current = f.model->get3DModel();
        ui.cancelJobs = true;
        Generate3DModelCommand::create(f.model, nullptr)->execute();
        EXPECT_EQ(current, f.model->get3DModel());
        EXPECT_TRUE(ui.messages.empty());
        ui.cancelJobs = false;
    }

    // Without a panoramic line of two corners nothing happens.
    {
        Fixture f = setUp(Vexa::DicomInformation::CT);
        f.model->getPanoramicLine()->deleteLine();
        f.model->getPanoramicLine()->addPoint({5, 10, 0});
        ui.jobs.clear();
        Generate3DModelCommand::create(f.model, nullptr)->execute();
        EXPECT_TRUE(ui.jobs.empty());
        EXPECT_FALSE(f.model->get3DModel());
    }

    // DVT: the threshold dialog on the band's sub-volume, starting at the low value.
    {
        Fixture f = setUp(Vexa::DicomInformation::DVT);
        ui.jobs.clear();
        ui.threshold.reset();
        Generate3DModelCommand::create(f.model, nullptr)->execute();
        ASSERT_EQ(1u, ui.thresholdRequests.size());
        EXPECT_EQ(1000, ui.thresholdRequests[0]);
        ASSERT_TRUE(ui.segmentationVolume);
        EXPECT_LT(ui.segmentationVolume->getVoxelCount(), makeBlockVolume()->getVoxelCount());
        EXPECT_TRUE(ui.jobs.empty()); // rejected: nothing more
        EXPECT_FALSE(f.model->get3DModel());

        // A threshold above every voxel: no surface, a message, no model.
        ui.threshold = 3000;
        Generate3DModelCommand::create(f.model, nullptr)->execute();
        EXPECT_FALSE(f.model->get3DModel());
        ASSERT_EQ(1u, ui.messages.size());
        EXPECT_EQ("Attention|The volume has no surface at the iso value 3000.", ui.messages[0]);
        ui.threshold = 1500;
        Generate3DModelCommand::create(f.model, nullptr)->execute();
        EXPECT_TRUE(f.model->get3DModel());
    }
}
