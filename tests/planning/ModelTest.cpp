#include "ModelTestSupport.h"
#include "common/TestSupport.h"

#include "planning/model/INavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/IObserver.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <gtest/gtest.h>

using namespace PlanningTest;
using Vexa::Matrix44;

namespace {

// Records the events of the Model's navigation state.
class FakeNavigation : public INavigationController
{
public:
    void navigationStateEvent(StateMachine::Event event) override { events.push_back(event); }
    Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw) const override { return {}; }
    int getCalibrationState() const override { return 0; }
    int getCalibrationConditionLevel() const override { return 0; }
    std::vector<StateMachine::Event> events;

protected:
    bool updateStates(StateMachine::Event, int) override { return true; }
};

struct NavigationFactoryGuard
{
    ~NavigationFactoryGuard() { Model::setNavigationControllerFactory({}); }
};

class StateObserver : public Vexa::IObserver
{
public:
    explicit StateObserver(const Model& model) : model_(model) {}
    void update() override { states.push_back(model_.getState()); }
    std::vector<int> states;

private:
    const Model& model_;
};

std::shared_ptr<Model> makeModel()
{
    return std::make_shared<Model>(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
}

// 100 x 80 x 60 voxels of 0.5 mm: 50 x 40 x 30 mm.
std::shared_ptr<Volume> makeVolume(unsigned short value = 0)
{
    auto volume = std::make_shared<Volume>(100, 80, 60, 0.5, 0.5, 0.5);
    std::fill(volume->getVoxels(), volume->getVoxels() + volume->getVoxelCount(), value);
    return volume;
}

std::shared_ptr<Model> modelWithVolume()
{
    auto model = makeModel();
    model->setData(makeData(makeVolume()));
    return model;
}

}

TEST(Model, DigitMeshesAndNavigationAnswersWithoutNavigation)
{
    Model model(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
    EXPECT_TRUE(Vexa::isEqual(modelTransform(), model.getPanoramicLine()->getTransform(), 1e-12));
    for (unsigned digit = 0; digit < 10; ++digit)
        EXPECT_TRUE(model.getDigitMesh(digit) && model.getDigitMesh(digit)->getTriangleCount() > 0);
    EXPECT_EQ(model.getDigitMesh(9), model.getDigitMesh(1000));
    EXPECT_FALSE(model.isNavigating() || model.isDrillRegistered() || model.isHandpieceTrackerValid()
                 || model.isPatientLocTrackerValid() || model.isReadyForNavigation());
    EXPECT_EQ(nullptr, model.getNearestImplantToDrill());
    // Depth = a.t - a.o + 1 with the drill tip at the origin.
    Matrix44<double> implant(Vector3D(1, 0, 0), Vector3D(0, 1, 0), Vector3D(0, 0, 1), Vector3D(3, 4, -7));
    EXPECT_DOUBLE_EQ(8.0, model.getDrillDepthAtImplant(implant));
}

TEST(Model, UserStatesWithTheirEnterAndLeaveSteps)
{
    // The treatment log of a session without a planning goes beside the program: here into a
    // program folder of the test's own.
    const TestSupport::ScratchDir program;
    qputenv("MORVANTA_HOME", program.qpath().toUtf8());
    const std::shared_ptr<void> unset(nullptr, [](void*) { qunsetenv("MORVANTA_HOME"); });
    NavigationFactoryGuard guard;
    std::shared_ptr<FakeNavigation> navigation;
    Model* built = nullptr;
    Model::setNavigationControllerFactory([&](Model& model) {
        built = &model;
        navigation = std::make_shared<FakeNavigation>();
        return navigation;
    });
    auto model = makeModel();
    ASSERT_TRUE(navigation);
    EXPECT_EQ(model.get(), built);
    EXPECT_EQ(navigation, model->getNavigationController());

    StateObserver observer(*model);
    model->attach(&observer);
    for (unsigned state = 0; state <= 6; ++state) {
        model->setStateAndUpdate(state);
        EXPECT_EQ(int(state), model->getState());
        EXPECT_FALSE(model->isNavigating());
    }
    EXPECT_TRUE(navigation->events.empty());
    EXPECT_TRUE(observer.states.empty()); // state changes alone tell no observer

    // Navigation: entered by enable, an update per notify, left by disable.
    using E = StateMachine::Event;
    model->enableNavigation();
    EXPECT_EQ(7, model->getState());
    EXPECT_TRUE(model->isNavigating());
    EXPECT_EQ((std::vector<E>{E::Enter}), navigation->events);
    model->notify();
    EXPECT_EQ((std::vector<E>{E::Enter, E::Update}), navigation->events);
    // The same state again: no leave and no second enter (one treatment log per session).
    model->setStateAndUpdate(7);
    EXPECT_EQ((std::vector<E>{E::Enter, E::Update, E::Update}), navigation->events);
    model->disableNavigation();
    EXPECT_EQ(1, model->getState());
    EXPECT_EQ((std::vector<E>{E::Enter, E::Update, E::Update, E::Update, E::Leave}), navigation->events);

    // notify: a pending change takes effect before the observers are told.
    model->setNextState(2);
    model->notify();
    EXPECT_EQ((std::vector<int>{7, 2}), observer.states);
    // The last request wins: the current state asked for after another one withdraws it.
    model->setNextState(4);
    model->setStateAndUpdate(2);
    EXPECT_EQ(2, model->getState());
    model->notify();
    EXPECT_EQ(2, model->getState());

    // Leaving state 5 unselects the markers.
    auto marker = Marker::create({1, 2, 3});
    model->setMarker({marker});
    model->setStateAndUpdate(5);
    model->selectMarker(marker);
    EXPECT_TRUE(marker->isSelected());
    model->setNormalInput();
    EXPECT_EQ(1, model->getState());
    EXPECT_FALSE(marker->isSelected());

    // Measuring: two points, then back to normal input.
    model->setStateAndUpdate(6);
    model->setFirstMeasuringPoint({1, 1, 1});
    EXPECT_EQ(1, model->getMeasuringState());
    model->setSecondMeasuringPoint({2, 2, 2});
    EXPECT_EQ(2, model->getMeasuringState());
    model->resetMeasuringState();
    EXPECT_EQ(0, model->getMeasuringState());
    EXPECT_EQ(1, model->getState());

    // resetAll emits reset().
    int resets = 0;
    QObject::connect(model.get(), &Model::reset, [&] { ++resets; });
    model->resetAll();
    EXPECT_EQ(1, resets);
    model->detach(&observer);
}

TEST(Model, DataVolumeWindowAndPatient)
{
    auto model = makeModel();
    // 20 x 10 x 10: half 0, half 2000, two bright voxels.
    auto volume = std::make_shared<Volume>(20, 10, 10, 0.4, 0.5, 0.75);
    for (unsigned i = 0; i < volume->getVoxelCount(); ++i)
        volume->getVoxels()[i] = i % 2 ? 2000 : 0;
    volume->getVoxels()[1] = 4095;
    volume->getVoxels()[3] = 4095;
    const std::map<uint32_t, std::string> header{
        {0x00100010u, "Doe^John"}, {0x00300010u, "19650412"}, {0x00200010u, "4711"}, {0x00400010u, "M"}};
    auto data = makeData(volume, 2, header);
    model->setData(data);
    EXPECT_EQ(volume, model->getVolumeData());
    EXPECT_DOUBLE_EQ(7.5, model->getPanoramicLine()->getHeight());
    EXPECT_EQ(2, model->getTransversalSlicePositioner()->getOrientation());
    EXPECT_EQ(1, model->getCoronalSlicePositioner()->getOrientation());
    EXPECT_EQ(0, model->getSagitalSlicePositioner()->getOrientation());
    EXPECT_EQ((std::vector<std::string>{"/cd/IM1", "/cd/IM2"}), model->getDicomFiles());
    // Window: mean 1002, the brightest thousandth above 2000.
    EXPECT_EQ(1002, model->getMinVoxelValue());
    EXPECT_EQ(2000, model->getMaxVoxelValue());
    EXPECT_EQ(1501, model->getMidVoxelValue());
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"name", "Doe^John"}, {"birthday", "19650412"}, {"id", "4711"}, {"sex", "M"}}),
              model->getPatientData());
    EXPECT_EQ(QString("Doe^John"), model->getPatientName());
    EXPECT_TRUE(model->hasChanged());

    // Patient data set by the planning reader win over a later header.
    model->setPatientData({{"name", "Roe^Jane"}});
    model->setData(makeData(makeVolume(), 1, header));
    EXPECT_EQ(QString("Roe^Jane"), model->getPatientName());
    model->clearChangedState();

    // A volume without voxels is refused and loses nothing.
    const auto before = model->getVolumeData();
    EXPECT_THROW(model->setData(makeData(std::make_shared<Volume>(0, 0, 0, 1, 1, 1))), std::runtime_error);
    EXPECT_EQ(before, model->getVolumeData());
    EXPECT_FALSE(model->hasChanged());
}

TEST(Model, ChangeTrackingAndClear)
{
    auto model = modelWithVolume();
    model->clearChangedState();
    EXPECT_FALSE(model->hasChanged());

    const std::vector<std::function<void(Model&)>> changes{
        [](Model& m) { m.setMarker({Marker::create({1, 1, 1})}); },
        [](Model& m) { m.setJaw(2); },
        [](Model& m) { m.set3DModel(Vexa::createBoxMesh(Matrix44<double>(), {1, 1, 1})); },
        [](Model& m) { m.getPanoramicLine()->setPoints({{0, 0, 0}, {40, 0, 0}}); },
        [](Model& m) { m.getImplantManager()->addImplant(makeImplantAt({5, 5, 5})); },
        [](Model& m) {
            Nerve::Element::PointContainer previous;
            m.getNerve()->addPoint(Nerve::Element::Point::create({10, 0, -3}, 3.0), previous, false);
        },
        [](Model& m) { m.setMarkerDetected(true); },
        [](Model& m) { m.setMarkerDetectionMethode(Model::UserPlacedMarkers); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        changes[i](*model);
        EXPECT_TRUE(model->hasChanged()) << "change " << i;
        model->clearChangedState();
        EXPECT_FALSE(model->hasChanged()) << "change " << i;
    }
    // Setting the same jaw is no change; an invalid one is refused.
    model->setJaw(2);
    EXPECT_FALSE(model->hasChanged());
    EXPECT_THROW(model->setJaw(3), std::runtime_error);
    EXPECT_EQ(Constants::Mandible, model->getJaw());

    // clear: every planning datum (the nerve's divide plane included), the command history; not the state.
    model->setStateAndUpdate(3);
    model->setFirstMeasuringPoint({1, 2, 3});
    model->setPatientData({{"name", "x"}});
    auto processor = Vexa::CommandProcessor::getInstance();
    struct Noop : Vexa::AbstractCommand
    {
        Noop() : Vexa::AbstractCommand(undoable) {}
        void execute() override {}
        void undo() override {}
        std::string getName() const override { return "noop"; }
    };
    processor->execute(std::make_shared<Noop>());
    ASSERT_TRUE(processor->canUndo());
    model->calcNerveEnvironments();
    ASSERT_NE(Vector3D(0, 0, 0), model->getNerve()->getDividePlane().getPoint());
    model->clear();
    EXPECT_FALSE(processor->canUndo());
    EXPECT_FALSE(model->getData());
    EXPECT_FALSE(model->getVolumeData());
    EXPECT_FALSE(model->get3DModel());
    EXPECT_TRUE(model->getDicomFiles().empty());
    EXPECT_TRUE(model->getMarkers().empty());
    EXPECT_FALSE(model->isMarkerDetected());
    EXPECT_EQ(Model::NoMarkerDetection, model->getMarkerDetectionMethode());
    EXPECT_EQ(0u, model->getImplantManager()->numberOfImplants());
    EXPECT_TRUE(model->getNerve()->isEmpty());
    EXPECT_EQ(Vector3D(0, 0, 0), model->getNerve()->getDividePlane().getPoint());
    EXPECT_EQ(Vector3D(1, 0, 0), model->getNerve()->getDividePlane().getNormal());
    EXPECT_EQ(0u, model->getPanoramicLine()->numberOfCorners());
    EXPECT_LT(model->getTransversalSlicePositioner()->getMaxSlicePosition(), 0.0);
    EXPECT_EQ(Constants::JawUndetermined, model->getJaw());
    EXPECT_EQ(0, model->getMeasuringState());
    EXPECT_TRUE(model->getPatientData().empty());
    EXPECT_EQ(0, model->getMinVoxelValue());
    EXPECT_EQ(4095, model->getMaxVoxelValue());
    EXPECT_FALSE(model->hasChanged());
    EXPECT_EQ(3, model->getState());
}

TEST(Model, MarkersJawAndNerveEnvironment)
{
    auto model = modelWithVolume();
    // Reference-like layout: 0 and 2 posterior, 1 anterior; counter-clockwise from above.
    const std::vector<Vector3D> positions{{10, 30, 5}, {25, 5, 5}, {40, 30, 5}, {15, 20, 5}, {35, 20, 5}, {25, 15, 5}};
    std::vector<std::shared_ptr<Marker>> markers;
    for (const auto& p : positions)
        markers.push_back(Marker::create(p));
    model->setJaw(1);
    model->setMarker(markers);
    EXPECT_EQ(Constants::JawUndetermined, model->getJaw()); // a new marker list resets the jaw
    EXPECT_EQ(markers, model->getMarkers());

    // Not detected: no jaw, the divide plane through the volume centre.
    EXPECT_FALSE(model->determineJaw());
    model->calcNerveEnvironments();
    EXPECT_EQ(Vector3D(25, 20, 15), model->getNerve()->getDividePlane().getPoint());
    EXPECT_EQ(Vector3D(1, 0, 0), model->getNerve()->getDividePlane().getNormal());

    model->setMarkerDetected(true);
    // (m1 - m0) x (m2 - m0) = (15,-25,0) x (30,0,0): z = 750 > 0, pointing up: mandible.
    EXPECT_TRUE(model->determineJaw());
    EXPECT_EQ(Constants::Mandible, model->getJaw());
    std::swap(markers[0], markers[2]);
    model->setMarker(markers);
    EXPECT_TRUE(model->determineJaw());
    EXPECT_EQ(Constants::Maxilla, model->getJaw());

    // Divide plane through the markers' centre, across the left-right axis.
    model->calcNerveEnvironments();
    const auto plane = model->getNerve()->getDividePlane();
    EXPECT_EQ(Vector3D(25, 20, 5), plane.getPoint());
    EXPECT_EQ(Vector3D(1, 0, 0), plane.getNormal());

    // Three markers on one line give no plane: refused, the jaw as it was.
    model->setMarker({Marker::create({0, 0, 5}), Marker::create({10, 10, 5}), Marker::create({30, 30, 5})});
    EXPECT_THROW(model->determineJaw(), std::runtime_error);
    EXPECT_EQ(Constants::JawUndetermined, model->getJaw());
    model->setMarker(markers);
    model->setJaw(Constants::Maxilla);

    // Selection and moving.
    model->selectMarker(markers[1]);
    EXPECT_TRUE(markers[1]->isSelected());
    model->selectMarker(markers[3]);
    EXPECT_FALSE(markers[1]->isSelected());
    EXPECT_TRUE(markers[3]->isSelected());
    model->clearChangedState();
    model->setMarkerPosition(markers[3], {16, 21, 6});
    EXPECT_EQ(Vector3D(16, 21, 6), markers[3]->getPosition());
    EXPECT_TRUE(model->hasChanged());

    // Ready for navigation: volume, six detected markers, a jaw and a saved planning.
    EXPECT_FALSE(model->isReadyForNavigation());
    model->getSettings()->setPlanningState(2);
    EXPECT_TRUE(model->isReadyForNavigation());
    model->setJaw(0);
    EXPECT_FALSE(model->isReadyForNavigation());
    model->setJaw(1);
    model->removeMarker(markers[5]);
    EXPECT_FALSE(model->isReadyForNavigation());
    model->addMarker(markers[5]);
    model->setMarkerDetected(false);
    EXPECT_FALSE(model->isReadyForNavigation());
}

TEST(Model, MarkerNearOnlyAfterMarkerDetection)
{
    auto model = makeModel();
    auto first = Marker::create({0, 0, 0});
    auto second = Marker::create({1, 0, 0});
    model->setMarker({first, second});
    const Vexa::Line3<double> line({0, 1.5, -10}, {0, 0, 5});
    for (unsigned state : {0u, 1u, 2u, 3u, 4u, 6u}) {
        model->setStateAndUpdate(state);
        EXPECT_EQ(nullptr, model->getMarkerNear(Vector3D(0, 0, 0))) << state;
        EXPECT_EQ(nullptr, model->getMarkerNear(line)) << state;
        EXPECT_EQ(0u, model->getElementsNearToPos({0, 0, 0}, 0xFF) & 128u) << state;
        EXPECT_EQ(0u, model->getElementsNearToLine(line, 0xFF)) << state;
    }
    model->setStateAndUpdate(5);
    EXPECT_EQ(first, model->getMarkerNear(Vector3D(0.5, 0, 0))); // both near: the first in list order
    EXPECT_EQ(second, model->getMarkerNear(Vector3D(2.99, 0, 0)));
    EXPECT_EQ(nullptr, model->getMarkerNear(Vector3D(3.0, 0, 0))); // strictly below 2.0
    EXPECT_EQ(first, model->getMarkerNear(Vector3D(0, -1.99, 0)));
    EXPECT_EQ(first, model->getMarkerNear(line));
    EXPECT_EQ(nullptr, model->getMarkerNear(Vexa::Line3<double>({0, 2.0, 0}, {0, 0, 1})));
    EXPECT_EQ(second, model->getMarkerNear(Vexa::Line3<double>({2.5, 0, 0}, {0, 1, 0})));
    EXPECT_EQ(128u, model->getElementsNearToLine(line, 0xFF));
    EXPECT_EQ(128u, model->getElementsNearToLine(line, 128));
    EXPECT_EQ(0u, model->getElementsNearToLine(line, 0x7F));
}

TEST(Model, ElementsNearToPositionBitByBit)
{
    auto model = modelWithVolume(); // 50 x 40 x 30 mm
    model->getPanoramicLine()->setPoints({{5, 10, 0}, {45, 10, 0}});
    model->getTransversalSlicePositioner()->setSlicePosition(20.0);
    model->getCoronalSlicePositioner()->setSlicePosition(10.0); // shown mirrored near 30
    model->getSagitalSlicePositioner()->setSlicePosition(30.0);
    model->getImplantManager()->addImplant(makeImplantAt({25, 35, 2}));
    Nerve::Element::PointContainer previous;
    model->getNerve()->addPoint(Nerve::Element::Point::create({10, 10, -3}, 3.0), previous, false);
    model->getNerve()->addPoint(Nerve::Element::Point::create({20, 10, -3}, 3.0), previous, false);
    auto marker = Marker::create({40, 30, 12});
    model->setMarker({marker});
    model->setStateAndUpdate(5);

    struct Case
    {
        Vector3D position;
        unsigned bit;
        bool near;
    };
    const Case cases[] = {
        // 1: the panoramic line: orthogonal distance below 5.0, or a corner at the point.
        {{25, 14.9, 2}, 1, true},
        {{25, 15.1, 2}, 1, false},
        {{2, 10, 0}, 1, true},  // beyond the first corner, within its pick tolerance
        {{0, 10, 0}, 1, false}, // beyond and too far
        // 2: the transversal slice at z = 20, within 1.0 including the bounds.
        {{1, 1, 21.0}, 2, true},
        {{1, 1, 19.0}, 2, true},
        {{1, 1, 21.01}, 2, false},
        // 4: the coronal slice, by its stored position y = 10 (not the mirrored one).
        {{1, 10.9, 1}, 4, true},
        {{1, 9.0, 1}, 4, true},
        {{1, 11.01, 1}, 4, false},
        {{1, model->getCoronalSlicePositioner()->getSlicePosition(true), 1}, 4, false},
        // 8: the sagittal slice at x = 30.
        {{30.9, 1, 1}, 8, true},
        {{31.1, 1, 1}, 8, false},
        // 16: an implant (10 mm pick target).
        {{25, 35, 7}, 16, true},
        {{29.9, 35, 7}, 16, true},
        {{30.1, 35, 7}, 16, false},
        // 32: a nerve element (near the segment between its points).
        {{15, 10, -3}, 32, true},
        {{15, 10, -8}, 32, false},
        // 128: a marker (state 5).
        {{40, 30, 13.9}, 128, true},
        {{40, 30, 14.1}, 128, false},
    };
    for (const Case& c : cases) {
        const unsigned all = model->getElementsNearToPos(c.position, 0xFF);
        EXPECT_EQ(c.near, (all & c.bit) != 0) << "bit " << c.bit << " at " << c.position.x << " " << c.position.y
                                              << " " << c.position.z;
        // Asked alone: the same answer; not asked: never reported.
        EXPECT_EQ(c.near ? c.bit : 0u, model->getElementsNearToPos(c.position, c.bit)) << "bit " << c.bit;
        EXPECT_EQ(0u, model->getElementsNearToPos(c.position, 0xFF & ~c.bit) & c.bit);
        EXPECT_EQ(0u, all & 64u);
    }
    // Several at once.
    EXPECT_EQ(1u | 2u | 8u, model->getElementsNearToPos({30, 10, 20}, 0xFF) & ~4u);
    EXPECT_EQ(1u | 32u, model->getElementsNearToPos({15, 10, -3}, 0xFF) & ~4u);
    EXPECT_EQ(32u, model->getElementsNearToPos({15, 10, -3}, 32u | 16u | 8u));
    EXPECT_EQ(0u, model->getElementsNearToPos({30, 10, 20}, 0));

    // Without a volume there are no slices to pick.
    auto empty = makeModel();
    EXPECT_EQ(0u, empty->getElementsNearToPos({0, 0, 0}, 0xFF));
}

TEST(Model, CrossSectionsPerpendicularToTheLineAnd24mmWide)
{
    auto model = modelWithVolume();
    model->getPanoramicLine()->setPoints({{10, 10, 0}, {40, 10, 0}, {40, 38, 0}});
    auto manager = model->getImplantManager();
    auto onFirst = makeImplantAt({25, 12, 5});
    auto onSecond = makeImplantAt({42, 30, 3});
    auto off = makeImplantAt({200, 200, 0});
    manager->addImplant(onFirst);
    manager->addImplant(off);
    manager->addImplant(onSecond);

    auto sections = model->getCrossSections();
    ASSERT_EQ(3u, sections.count);
    ASSERT_EQ(3, sections.end - sections.begin);
    std::vector<std::shared_ptr<VolumeSlice>> slices;
    for (auto it = sections.begin; it != sections.end; ++it) {
        slices.push_back(std::dynamic_pointer_cast<VolumeSlice>(*it));
        ASSERT_TRUE(slices.back());
        EXPECT_EQ(Constants::crossSectionWidth, (*it)->getWidth());
        EXPECT_EQ(30.0, (*it)->getHeight());
    }
    // In list order; the one off the line is not valid.
    EXPECT_TRUE(slices[0]->isValid());
    EXPECT_FALSE(slices[1]->isValid());
    EXPECT_TRUE(slices[2]->isValid());

    struct Expected
    {
        std::size_t index;
        Vector3D along;
        Vector3D centre;
    };
    for (const Expected& e : {Expected{0, {1, 0, 0}, {25, 12, 0}}, Expected{2, {0, 1, 0}, {42, 30, 0}}}) {
        const Matrix44<double> frame = slices[e.index]->getTransform();
        EXPECT_LT((frame.getColumn(2) - e.along).length(), 1e-12);             // normal along the curve
        EXPECT_NEAR(0.0, frame.getColumn(0).dot(e.along), 1e-12);               // width across it
        EXPECT_LT((frame.getColumn(1) - Vector3D(0, 0, 1)).length(), 1e-12);   // height up
        const Vector3D centre = frame.getTranslation() + frame.getColumn(0) * 12.0;
        EXPECT_LT((centre - e.centre).length(), 1e-12);
        EXPECT_NEAR(1.0, frame.getColumn(0).cross(frame.getColumn(1)).dot(frame.getColumn(2)), 1e-12);
    }

    // Each answer follows the implants as they are now.
    manager->setImplantPosition(onFirst, {30, 8, 5});
    sections = model->getCrossSections();
    EXPECT_LT(((*sections.begin)->getTransform().getTranslation() + Vector3D(0, 12, 0) - Vector3D(30, 8, 0)).length(),
              1e-12);
    manager->setImplantPosition(off, {20, 20, 0});
    EXPECT_TRUE(std::static_pointer_cast<VolumeSlice>(*(model->getCrossSections().begin + 1))->isValid());
    manager->removeImplant(onSecond);
    EXPECT_EQ(2u, model->getCrossSections().count);

    // In state 5 the markers' cross sections.
    model->setMarker({Marker::create({20, 10, 3}), Marker::create({40, 20, 3})});
    model->setStateAndUpdate(5);
    sections = model->getCrossSections();
    ASSERT_EQ(2u, sections.count);
    const Matrix44<double> frame = (*(sections.begin + 1))->getTransform();
    EXPECT_LT((frame.getColumn(2) - Vector3D(0, 1, 0)).length(), 1e-12);
    EXPECT_LT((frame.getTranslation() + frame.getColumn(0) * 12.0 - Vector3D(40, 20, 0)).length(), 1e-12);
    model->setNormalInput();
    EXPECT_EQ(2u, model->getCrossSections().count);

    // No line: every cross section invalid.
    model->getPanoramicLine()->deleteLine();
    sections = model->getCrossSections();
    for (auto it = sections.begin; it != sections.end; ++it)
        EXPECT_FALSE(std::static_pointer_cast<VolumeSlice>(*it)->isValid());
}
