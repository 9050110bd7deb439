// The tools drawn as the navigation tracks them: a replayed session on the real controller
// registers drills of random lengths, which the 3D view and the axial view show ending on the
// registered tip's pixel; every picture shows the tools of one tick; the panoramic view shows
// them once, where they lie along the curve.
#include "ViewTestSupport.h"
#include "navigation/NavigationFixture.h"

#include "navigation/NavigationCamera.h"
#include "navigation/NavigationController.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Trajectory.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "planning/model/ImplantManager.h"
#include "platform/Sound.h"
#include "views/CrossSectionalView.h"
#include "views/OpenGL3DView.h"
#include "views/PanoramicView.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/scene/CameraRig.h"
#include "views/scene/RegisteredDrill.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <atomic>
#include <cmath>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

// Whether a pixel of a picture with the tools differs from the same pixel without them.
bool differs(QRgb p, QRgb q)
{
    return std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q)) > 30;
}

// The drawn drill's end: of the pixels on the axis (centre within 1.5 px of it) that differ
// between the picture with the drill and the one without it, the one reaching farthest along
// the drill from the origin's pixel; (-1, -1) when none differs.
QPoint drawnEnd(const QImage& with, const QImage& without, QPointF origin, QPointF tip)
{
    const double reach = std::hypot(tip.x() - origin.x(), tip.y() - origin.y());
    const QPointF along = (tip - origin) / reach;
    double farthest = -1.0;
    QPoint end(-1, -1);
    for (int y = int(tip.y()) - 14; y <= int(tip.y()) + 14; ++y)
        for (int x = int(tip.x()) - 14; x <= int(tip.x()) + 14; ++x) {
            if (!with.rect().contains(x, y))
                continue;
            const QPointF d = QPointF(x + 0.5, y + 0.5) - origin;
            const double a = d.x() * along.x() + d.y() * along.y(), off = std::abs(d.x() * along.y() - d.y() * along.x());
            if (off <= 1.5 && a > farthest && differs(with.pixel(x, y), without.pixel(x, y)))
                farthest = a, end = QPoint(x, y);
        }
    return end;
}

// A Model whose navigation can be made to advance while a picture is drawn: with `advance` set,
// each read of the drill's pose, colour, registration or distance, or of the handpiece's mesh
// (other than the tick's own reads) first runs one tick.
class AdvancingModel : public Model
{
    template <class Read>
    auto read(Read answer) const
    {
        if (!advance || reading_)
            return answer();
        reading_ = true;
        advance();
        auto result = answer();
        reading_ = false;
        return result;
    }
    mutable bool reading_ = false;

public:
    using Model::Model;

    Matrix44<double> getPatientTDrillOrigin() const override { return read([&] { return Model::getPatientTDrillOrigin(); }); }
    Vexa::Vector4<float> getHandpieceColor() const override { return read([&] { return Model::getHandpieceColor(); }); }
    bool isDrillRegistered() const override { return read([&] { return Model::isDrillRegistered(); }); }
    std::shared_ptr<Implant> getDistanceAndAngleFromNearestImplantToDrill(double& distance, double& angle) const override
    {
        return read([&] { return Model::getDistanceAndAngleFromNearestImplantToDrill(distance, angle); });
    }
    std::shared_ptr<Vexa::IndexedTriangleMesh> getHandpieceMesh() const override
    {
        return read([&] { return Model::getHandpieceMesh(); });
    }

    std::function<void()> advance;
};

class RegisteredDrillSession
{
public:
    RegisteredDrillSession()
    {
        // Tool meshes of the build and the handpiece's calibration of the mandible.
        QDir().mkpath(home.filePath("Data/Meshes"));
        std::ofstream calibration(home.filePath("HandpieceLocTDrillOriginMandible.txt").toStdString());
        calibration.precision(17);
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                calibration << NavigationScene::trueCalibration()[4 * column + row] << ' ';
        calibration.close();
        const QString meshes = MORVANTA_BINARY_DIR "/app/Data/Meshes/";
        for (const QString& name : QDir(meshes).entryList(QDir::Files))
            QFile::copy(meshes + name, home.filePath("Data/Meshes/" + name));
        setenv("MORVANTA_HOME", home.path().toUtf8().constData(), 1);
        Platform::setSoundListener([](const std::string&) {});
        NavigationController::installModelFactory();
        model = ViewTest::makeModel<AdvancingModel>(ViewTest::makeVolume(200, 200, 100, 0.5, 1000));
        Model::setNavigationControllerFactory({});
        unsetenv("MORVANTA_HOME");
        model->setJaw(Constants::Mandible);
        model->set3DModel(Vexa::createBoxMesh(Matrix44<double>(Vector3D(0, 90, 0)), Vector3D(100, 10, 50)));
        model->getTransversalSlicePositioner()->setSlicePosition(25.0);
        controller = std::dynamic_pointer_cast<NavigationController>(model->getNavigationController());
        controller->setClock([this] { return clock.load(); });
        model->setNavigationClock([this] { return clock.load(); });
    }
    ~RegisteredDrillSession() { Platform::setSoundListener({}); }

    // The handpiece holds the drill origin at `pose` (planning coordinates, which equal the
    // locator's without markers) for `steps` ticks, or the drill of `length` on point A.
    void hold(const Matrix44<double>& pose, int steps) { plan.push_back({pose, steps}); }
    void touchPointA(double length, int steps) { plan.push_back({Matrix44<double>(), steps, length}); }
    // Without jitter, one tick at `a`, the next at `b`, and so on: every `a` tick (and every `b`
    // tick) gives the same picture. The locator alternates between two places, since a tick
    // that repeats a sample is dropped.
    void alternate(const Matrix44<double>& a, const Matrix44<double>& b, int steps)
    {
        for (int i = 0; i < steps; ++i)
            plan.push_back({i % 2 ? b : a, 1, 0.0, true, i % 2 == 1});
    }

    void start()
    {
        std::ostringstream out;
        out.precision(10);
        std::mt19937 random(3);
        std::normal_distribution<double> n(0.0, 0.01);
        auto jitter = [&](const Matrix44<double>& pose) { return Matrix44<double>(Vector3D(n(random), n(random), n(random))) * pose; };
        const Matrix44<double> locator = NavigationScene::locatorPose();
        std::uint32_t t = 0;
        for (const Step& step : plan)
            for (int i = 0; i < step.steps; ++i, t += 50) {
                const Matrix44<double> at = step.moved ? Matrix44<double>(Vector3D(0.5, 0, 0)) * locator : locator;
                const Matrix44<double> handpiece = step.length > 0 ? NavigationScene::handpieceAtPointA(step.length)
                                                                   : at * step.pose * Vexa::inverse(NavigationScene::trueCalibration());
                NavigationScene::writeLine(out, t, 0, step.exact ? handpiece : jitter(handpiece), true);
                NavigationScene::writeLine(out, t, 1, step.exact ? at : jitter(at), true);
            }
        std::istringstream in(out.str());
        camera = std::make_shared<Vexa::ReplayCamera>(Vexa::Trajectory::read(in, "session"), false);
        trackers = controller->getUsedTracker();
        camera->setTracker(trackers);
        controller->enableNavigation(camera);
        camera->startReporting();
        model->enableNavigation();
    }
    // One tick of the session, as the navigation timer ticks.
    void tick()
    {
        camera->advanceTo(elapsed);
        elapsed += 50;
        clock += 50;
        controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers));
        ++ticks;
    }
    // Plays `steps` ticks of the session, then shows them.
    void play(int steps)
    {
        for (int i = 0; i < steps; ++i)
            tick();
        model->notify();
        QCoreApplication::processEvents();
    }

    struct Step
    {
        Matrix44<double> pose;
        int steps;
        double length = 0.0;
        bool exact = false; // no jitter
        bool moved = false; // the locator at its second place
    };
    QTemporaryDir home;
    std::shared_ptr<AdvancingModel> model;
    std::shared_ptr<NavigationController> controller;
    std::shared_ptr<Vexa::ReplayCamera> camera;
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers;
    std::vector<Step> plan;
    std::atomic<std::uint32_t> clock = 1000;
    std::uint32_t elapsed = 0;
    std::atomic<int> ticks = 0;
    ViewTest::CleanCommands commands;
};

}

// The shape of "Drill.sff" (20 mm): its point unchanged at the registered length, the shank
// stretched; without a shape a plain rod of that length.
TEST(RegisteredDrill, ThePointKeepsItsShapeAndTheShankStretches)
{
    const auto shape = Vexa::readSFFBinFile(MORVANTA_BINARY_DIR "/app/Data/Meshes/Drill.sff");
    ASSERT_TRUE(shape) << "the generated drill mesh";
    for (const double length : {12.5, 20.0, 34.0}) {
        const auto drill = RegisteredDrill::build(shape, length);
        ASSERT_EQ(shape->getVertexCount(), drill->getVertexCount());
        EXPECT_NEAR(-length, drill->getBoundingBox()[0], 1e-9);
        for (unsigned i = 0; i < shape->getVertexCount(); ++i) {
            const Vector3D before = shape->getVertex(i), after = drill->getVertex(i);
            if (before.x < -18.0) {
                ASSERT_LT((after - (before - Vector3D(length - 20.0, 0, 0))).length(), 1e-9) << "point vertex " << i;
            }
            ASSERT_NEAR(before.y, after.y, 1e-12);
            ASSERT_NEAR(before.z, after.z, 1e-12);
            ASSERT_NEAR(1.0, drill->getNormal(i).length(), 1e-6);
        }
        const auto rod = RegisteredDrill::build(nullptr, length);
        EXPECT_NEAR(-length, rod->getBoundingBox()[0], 1e-9);
        EXPECT_NEAR(0.0, rod->getBoundingBox()[3], 1e-9);
    }
}

TEST(RegisteredDrill, TheDrawnTipIsTheRegisteredTipInThe3DAndTheAxialView)
{
    REQUIRE_DISPLAY();
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> lengths(15.0, 35.0), turns(-30.0, 30.0);
    const double first = lengths(random);
    double second = lengths(random);
    if (std::abs(second - first) < 5.0)
        second = first > 25.0 ? first - 8.0 : first + 8.0;

    // The drill origin in the axial slice (z = 25), the drill (along its -x) turned in that plane.
    const Matrix44<double> pose = Matrix44<double>(Vector3D(70, 50, 25)) * NavigationScene::rotation(Vector3D(0, 0, 1), turns(random));
    RegisteredDrillSession s;
    s.hold(pose, 60);          // camera adjustment, then operation
    s.touchPointA(first, 40);  // registered after 28 steady ticks
    s.hold(pose, 21);          // the last tick shows the discarded registration
    s.touchPointA(second, 40);
    s.hold(pose, 20);
    s.start();

    OpenGL3DView view3d(s.model, nullptr, "3D");
    view3d.setWindowFlags(Qt::FramelessWindowHint);
    view3d.resize(400, 400);
    view3d.move(ViewTest::windowPlace);
    view3d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view3d));
    view3d.grabFramebuffer(); // the first paint places the camera
    const auto axial = ViewTest::showView(s.model, "Axial");

    // Pixels (x right, y down, continuous) of a planning point in each view.
    auto in3d = [&](const Vector3D& p) {
        const auto m = CameraRig::projection(view3d.getCameraTransform(), 1.0);
        const auto row = [&](int r) { return m[r] * p.x + m[r + 4] * p.y + m[r + 8] * p.z + m[r + 12]; };
        return QPointF((row(0) / row(3) + 1) * 200, (1 - row(1) / row(3)) * 200);
    };
    const Vector3D o = axial->getWorldPos(0, 0), ex = axial->getWorldPos(1, 0) - o, ey = axial->getWorldPos(0, 1) - o;
    auto inAxial = [&](const Vector3D& p) {
        const double det = ex.x * ey.y - ex.y * ey.x;
        const Vector3D d = p - o;
        return QPointF((d.x * ey.y - d.y * ey.x) / det, (ex.x * d.y - ex.y * d.x) / det);
    };

    std::vector<double> drawn;
    for (const double length : {first, second}) {
        s.play(length == first ? 120 : 59);
        ASSERT_TRUE(s.model->isDrillRegistered()) << "a drill of " << length << " mm";
        EXPECT_NEAR(length, s.model->getDrillLength(), 0.1);
        const Vector3D origin = s.model->getPatientTDrillOrigin().getTranslation();
        const Vector3D tip = s.model->getPatientTDrill().getTranslation();
        const QImage with3d = view3d.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        const QImage withAxial = ViewTest::frame(*axial);
        const QString name = QString("registered-drill-%1").arg(drawn.size() / 2);
        ViewTest::keep(with3d, name + "-3d.png");
        ViewTest::keep(withAxial, name + "-axial.png");

        // Discarding the registration takes the drill away from the next tick on.
        s.model->invalidateDrillRegistration();
        s.play(1);
        const QImage without3d = view3d.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
        const QImage withoutAxial = ViewTest::frame(*axial);
        for (const auto& [with, without, at, view] :
             {std::tuple{with3d, without3d, std::function<QPointF(const Vector3D&)>(in3d), "3D"},
              std::tuple{withAxial, withoutAxial, std::function<QPointF(const Vector3D&)>(inAxial), "axial"}}) {
            const QPointF from = at(origin), to = at(tip);
            const double reach = std::hypot(to.x() - from.x(), to.y() - from.y());
            ASSERT_GT(reach, 20.0) << view << ": the drill is seen from the side";
            // The drawn end on the registered tip's pixel or a neighbour of it.
            const QPoint end = drawnEnd(with, without, from, to), tipPixel(int(std::floor(to.x())), int(std::floor(to.y())));
            EXPECT_LE(std::max(std::abs(end.x() - tipPixel.x()), std::abs(end.y() - tipPixel.y())), 1)
                << view << " view, drill of " << length << " mm: drawn to (" << end.x() << ", " << end.y()
                << "), the tip at (" << tipPixel.x() << ", " << tipPixel.y() << ")";
            drawn.push_back(std::hypot(end.x() + 0.5 - from.x(), end.y() + 0.5 - from.y()));
        }
    }
    // Two registrations, two lengths drawn (at least 5 mm apart, so well over 5 px).
    ASSERT_EQ(4u, drawn.size());
    EXPECT_GT(std::abs(drawn[2] - drawn[0]), 5.0);
    EXPECT_GT(std::abs(drawn[3] - drawn[1]), 5.0);
}

// The slice views and the 3D view paint in the GUI thread while the navigation timer's thread
// ticks the controller through camera adjustment, operation and registrations: they read the
// controller's state from its per-tick snapshot (the thread sanitizer stage runs this).
TEST(NavigationViewsThreads, PaintWhileTheControllerTicks)
{
    REQUIRE_DISPLAY();
    RegisteredDrillSession s;
    // Registered once, then touching point A and leaving it every three ticks: the controller
    // goes from operation to registration and back all the time.
    const Matrix44<double> pose(Vector3D(70, 50, 25));
    s.hold(pose, 60);
    s.touchPointA(22.0, 40);
    for (int i = 0; i < 40; ++i) {
        s.hold(pose, 3);
        s.touchPointA(22.0, 3);
    }
    s.start();
    s.model->getPanoramicLine()->setPoints({{20, 20, 0}, {30, 60, 0}, {50, 75, 0}, {70, 60, 0}, {80, 20, 0}});
    std::vector<std::unique_ptr<QOpenGLWidget>> views;
    views.emplace_back(OrthoView::createNamed(s.model, "Axial", nullptr));
    views.emplace_back(std::make_unique<CrossSectionalView>(s.model, nullptr, "Cross"));
    views.emplace_back(std::make_unique<PanoramicView>(s.model, nullptr, "Panoramic"));
    views.emplace_back(std::make_unique<OpenGL3DView>(s.model, nullptr, "3D"));
    for (std::size_t i = 0; i < views.size(); ++i) {
        views[i]->setWindowFlags(Qt::FramelessWindowHint);
        views[i]->resize(300, 300);
        views[i]->move(ViewTest::windowPlace + QPoint(int(i % 2) * 310, int(i / 2) * 310));
        views[i]->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(views[i].get()));
    }

    std::set<int> shown;
    int pictures = 0;
    {
        NavigationScene::Ticker ticker([&] {
            if (s.ticks < 340)
                s.tick();
        });
        ticker.start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (s.ticks < 340) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waited for 340 ticks, got " << s.ticks;
            for (const auto& view : views)
                view->grabFramebuffer();
            ++pictures;
            shown.insert(s.model->getNavigationController()->getShownState());
        }
    }
    EXPECT_TRUE(s.model->isDrillRegistered());
    EXPECT_GT(pictures, 1);
    ASSERT_FALSE(shown.empty());
    EXPECT_TRUE(*shown.begin() >= 0 && *shown.rbegin() <= 3) << "a state the controller has not got";
}

// One picture, one tick: the navigation advances at every read of the tools a picture makes
// from the Model, yet each picture of the 3D view and the slice views shows the tools of one
// tick, and the navigation strip's distance and angle are those of the tick it began with.
// The handpiece alternates between two poses every tick: on implant 1's axis (green) and off
// implant 2's (blue), so any two reads of one picture a tick apart disagree.
TEST(NavigationViews, OnePictureShowsOneTick)
{
    REQUIRE_DISPLAY();
    RegisteredDrillSession s;
    const auto manager = s.model->getImplantManager();
    const auto one = PlanningTest::makeImplantAt(Vector3D(40, 67.5, 10)), two = PlanningTest::makeImplantAt(Vector3D(60, 67.5, 10));
    manager->addImplant(one);
    manager->addImplant(two);
    s.model->getPanoramicLine()->setPoints({{20, 20, 0}, {30, 60, 0}, {50, 75, 0}, {70, 60, 0}, {80, 20, 0}});
    // Drill origins of a 22 mm drill (along the origin's -x): its tip 2 mm into implant 1 along
    // its axis, and 1.5 mm beside implant 2's axis, tilted by 25 degrees.
    const double length = 22.0;
    const auto origin = [&](const Vector3D& tip, double degrees) {
        const Matrix44<double> turn = NavigationScene::rotation(Vector3D(0, 1, 0), degrees - 90.0);
        return Matrix44<double>(tip + turn.getColumn(0) * length) * turn;
    };
    const Matrix44<double> onAxis = origin(Vector3D(40, 67.5, 12), 0.0), beside = origin(Vector3D(61.5, 67.5, 12), 25.0);
    s.hold(onAxis, 60);
    s.touchPointA(length, 40);
    s.alternate(onAxis, beside, 1000);
    s.start();
    s.play(102);
    ASSERT_TRUE(s.model->isDrillRegistered());

    const auto at = [&](const Matrix44<double>& pose) {
        return (s.model->getPatientTDrillOrigin().getTranslation() - pose.getTranslation()).length() < 0.1;
    };
    // Ticks until the Model holds the pose.
    const auto tickTo = [&](const Matrix44<double>& pose) {
        for (int i = 0; i < 2 && !at(pose); ++i)
            s.tick();
        ASSERT_TRUE(at(pose));
        ASSERT_EQ(0, s.model->getNavigationController()->getShownState()) << "operation";
    };
    double distance = 0.0, angle = 0.0;
    tickTo(onAxis);
    ASSERT_EQ(one, s.model->getDistanceAndAngleFromNearestImplantToDrill(distance, angle));
    EXPECT_EQ(Vexa::Vector4<float>(0, 1, 0, 1), s.model->getHandpieceColor());
    tickTo(beside);
    ASSERT_EQ(two, s.model->getDistanceAndAngleFromNearestImplantToDrill(distance, angle));
    EXPECT_EQ(Vexa::Vector4<float>(0, 0, 1, 1), s.model->getHandpieceColor());

    const struct
    {
        const char* name;
        std::unique_ptr<QOpenGLWidget> view;
        QSize size;
    } views[] = {
        {"3D", std::make_unique<OpenGL3DView>(s.model, nullptr, "3D"), {300, 300}},
        {"axial", std::unique_ptr<QOpenGLWidget>(OrthoView::createNamed(s.model, "Axial", nullptr)), {300, 300}},
        {"cross-sectional", std::make_unique<CrossSectionalView>(s.model, nullptr, "Cross"), {300, 200}},
        {"panoramic", std::make_unique<PanoramicView>(s.model, nullptr, "Panoramic"), {400, 200}},
    };
    for (const auto& v : views) {
        v.view->setWindowFlags(Qt::FramelessWindowHint);
        v.view->resize(v.size);
        v.view->move(ViewTest::windowPlace);
        v.view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(v.view.get())) << v.name;
        // A picture drawn to its end (the 3D view may spread one over several paints).
        const auto picture = [&] {
            const auto* view3d = dynamic_cast<OpenGL3DView*>(v.view.get());
            const auto pictures = view3d ? view3d->getFramebuffer().completedPictures() : 0;
            QImage image = v.view->grabFramebuffer();
            for (int i = 0; i < 10 && view3d && view3d->getFramebuffer().completedPictures() == pictures; ++i)
                image = v.view->grabFramebuffer();
            return image.convertToFormat(QImage::Format_RGB32);
        };
        for (int i = 0; i < 5; ++i)
            picture(); // the 3D view places its camera and settles on whole pictures
        tickTo(onAxis);
        const QImage first = picture();
        tickTo(beside);
        const QImage second = picture();
        ASSERT_NE(first, second) << v.name << ": the two poses look alike";
        for (const auto& start : {onAxis, beside}) {
            tickTo(start);
            const int ticks = s.ticks;
            s.model->advance = [&] { s.tick(); };
            const QImage image = picture();
            s.model->advance = nullptr;
            EXPECT_GT(s.ticks, ticks) << v.name << ": the navigation did not advance while the picture was drawn";
            EXPECT_TRUE(image == first || image == second) << v.name << ": the tools of two ticks in one picture";
            if (image != first && image != second)
                for (const auto& [frame, kind] : {std::pair{image, "mixed"}, {first, "first"}, {second, "second"}})
                    ViewTest::keep(frame, QString("ticks-%1-%2.png").arg(v.name, kind));
        }
        v.view->hide();
    }

    QWidget host;
    auto* strip = new NavigationButtonView(s.model, &host, "NavigationButtons");
    host.resize(900, 120);
    host.move(ViewTest::windowPlace);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    for (const auto& start : {onAxis, beside}) {
        tickTo(start);
        ASSERT_TRUE(s.model->getDistanceAndAngleFromNearestImplantToDrill(distance, angle));
        s.model->advance = [&] { s.tick(); };
        strip->update();
        s.model->advance = nullptr;
        EXPECT_EQ(QString::number(distance, 'f', 2).toStdString(), strip->distanceLabel()->text().toStdString());
        EXPECT_EQ(QString::number(angle, 'f', 2).toStdString(), strip->angleLabel()->text().toStdString());
    }
}

// The panoramic view of a U-shaped curve, legs 40 mm apart, shows the drill held upright 1.5 mm
// outside the curve at places along it (either leg, around the corners, the front) once, where it
// is: every pixel the tools change lies within 8 mm of the place's column, and the drill's axis
// is drawn in that column from tip to head.
TEST(NavigationViews, ThePanoramicViewShowsTheDrillOnceWhereItIs)
{
    REQUIRE_DISPLAY();
    RegisteredDrillSession s;
    const auto line = s.model->getPanoramicLine();
    line->setPoints({{30, 20, 0}, {30, 65, 0}, {40, 80, 0}, {60, 80, 0}, {70, 65, 0}, {70, 20, 0}});
    const double length = 22.0, tipHeight = 10.0, corner1 = 45.0, corner2 = corner1 + std::hypot(10.0, 15.0);
    const double places[] = {20.0, corner1 - 1.0, corner1, corner1 + 9.0, corner2 - 2.0, corner2 + 10.0,
                             line->getLength() - 20.0};
    const auto upright = [&](double offset) {
        const Vector3D p = line->getWorldPos(offset);
        const Vector3D along = line->getWorldPos(offset + 0.01) - line->getWorldPos(offset - 0.01);
        Vector3D out = Vector3D(along.y, -along.x, 0.0) / std::hypot(along.x, along.y);
        if (out.dot(p - Vector3D(50, 50, 0)) < 0.0)
            out = -out;
        const Vector3D up(0, 0, 1), tip = p + out * 1.5 + up * tipHeight;
        return Matrix44<double>(up, out.cross(up), out, tip + up * length);
    };
    s.hold(upright(places[0]), 60);
    s.touchPointA(length, 40);
    for (const double place : places)
        s.hold(upright(place), 10);
    s.start();

    PanoramicView view(s.model, nullptr, "Panoramic");
    view.setWindowFlags(Qt::FramelessWindowHint);
    view.resize(view.sizeHint());
    view.move(ViewTest::windowPlace);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    s.play(1);
    const auto picture = [&] { return view.grabFramebuffer().convertToFormat(QImage::Format_RGB32); };
    const QImage without = picture(); // the camera adjustment shows no tools
    s.play(99);
    ASSERT_TRUE(s.model->isDrillRegistered());
    const double pixelsPerMM = view.width() / line->getLength();
    const auto row = [&](double z) { return view.height() * (1.0 - z / s.model->getVolumeData()->getExtentZ()); };
    const double axialLine = row(s.model->getTransversalSlicePositioner()->getSlicePosition(true));
    for (const double place : places) {
        SCOPED_TRACE(testing::Message() << place << " mm along the curve");
        s.play(10);
        ASSERT_LT((s.model->getPatientTDrillOrigin().getTranslation() - upright(place).getTranslation()).length(), 0.1);
        const QImage with = picture();
        if (place == places[0])
            ViewTest::keep(with, "panoramic-drill.png");
        const double column = place * pixelsPerMM;
        int astray = 0, axisGaps = 0; // rows of the drill, the axial slice's line aside, without its axis
        for (int y = 0; y < with.height(); ++y) {
            bool onAxis = false;
            for (int x = 0; x < with.width(); ++x)
                if (differs(with.pixel(x, y), without.pixel(x, y))) {
                    astray += std::abs(x + 0.5 - column) > 8.0 * pixelsPerMM;
                    onAxis = onAxis || std::abs(x + 0.5 - column) <= 2.0;
                }
            axisGaps += !onAxis && y > row(tipHeight + length) + 2 && y < row(tipHeight) - 2
                        && std::abs(y + 0.5 - axialLine) > 1.5;
        }
        EXPECT_EQ(astray, 0) << "changed pixels away from column " << column;
        EXPECT_EQ(axisGaps, 0);
    }
}
