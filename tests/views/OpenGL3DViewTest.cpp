// The 3D view: camera geometry as plain functions, and the view in real windows read back at
// pixels the camera predicts.
#include "ViewTestSupport.h"

#include "planning/model/INavigationController.h"
#include "planning/model/ImplantManager.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/mesh/MeshFactory.h"
#include "views/OpenGL3DView.h"
#include "views/ViewFailure.h"
#include "views/scene/CameraRig.h"

#include <QAbstractEventDispatcher>
#include <numbers>
#include <random>
#include <thread>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

constexpr double pi = std::numbers::pi;

void expectNear(const Vector3D& a, const Vector3D& b, double tolerance = 1e-9)
{
    EXPECT_NEAR((a - b).length(), 0.0, tolerance)
        << a.x << "," << a.y << "," << a.z << " vs " << b.x << "," << b.y << "," << b.z;
}

// The camera after one tick of a drag with `buttons` held at the given speeds, from the reset
// pose about the origin.
Matrix44<double> tick(unsigned buttons, double sx, double sy)
{
    return CameraRig::dragTick(CameraRig::resetPose(Vector3D()), buttons, sx, sy, Vector3D());
}

}

TEST(CameraRig, ResetPoseAndTheButtonTable)
{
    const Matrix44<double> c = CameraRig::resetPose(Vector3D(1, 2, 3));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(c[i], Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, 0, 1), Vector3D(0, 1, 0), Vector3D(1, -198, 3))[i]);
    using A = CameraRig::Action;
    const unsigned L = CameraRig::LeftButton, M = CameraRig::MiddleButton, R = CameraRig::RightButton;
    // The eye after a tick at speeds (2, 3): the pan goes against the drag, the dolly forward by
    // the horizontal speed only.
    const struct { unsigned buttons; A action; Vector3D eye; } table[] = {
        {L, A::Pan, Vector3D(-2, -200, 3)}, {L | M, A::Pan, Vector3D(-2, -200, 3)}, {R | M, A::Orbit, Vector3D()},
        {L | R, A::Dolly, Vector3D(0, -198, 0)}, {M, A::Dolly, Vector3D(0, -198, 0)}, {0, A::None, Vector3D(0, -200, 0)},
    };
    for (const auto& row : table) {
        EXPECT_EQ(CameraRig::actionFor(row.buttons), row.action) << row.buttons;
        if (row.action != A::Orbit)
            expectNear(tick(row.buttons, 2.0, 3.0).getTranslation(), row.eye);
    }
}

TEST(CameraRig, FullWidthRightDragOrbits225DegreesATickAndTicksKeepTheFrameOrthonormal)
{
    const struct { int dx; double degrees; } drags[] = {{400, 225.0}, {200, 56.25}, {-200, -56.25}};
    for (const auto& d : drags) {
        const auto [sx, sy] = CameraRig::dragSpeed(d.dx, 0, 400, 300);
        EXPECT_DOUBLE_EQ(sx, d.degrees);
        const Matrix44<double> c = tick(CameraRig::RightButton, sx, sy);
        // The eye turns about world z (the camera's up) by -degrees, still looking at the centre.
        const double a = -d.degrees * pi / 180.0;
        expectNear(c.getTranslation(), Vector3D(200 * std::sin(a), -200 * std::cos(a), 0));
        expectNear(c.getColumn(2), -c.getTranslation() / 200.0);
    }
    const auto [sx, sy] = CameraRig::dragSpeed(5, 5, 0, 0);
    EXPECT_TRUE(std::isfinite(sx) && std::isfinite(sy));
    EXPECT_DOUBLE_EQ(CameraRig::aspectRatio(300, 0), 300.0);

    Matrix44<double> c = CameraRig::resetPose(Vector3D());
    c.setColumn(0, Vector3D(1.3, 0.2, 0.1)); // drifted
    for (int i = 0; i < 50; ++i)
        c = CameraRig::dragTick(c, CameraRig::RightButton, 7.3, -4.1, Vector3D(5, 5, 5));
    const Vector3D x = c.getColumn(0), y = c.getColumn(1), z = c.getColumn(2);
    EXPECT_NEAR(x.length() + y.length() + std::abs(x.dot(y)) + std::abs(y.dot(z)), 2.0, 1e-12);
    expectNear(z.cross(y), x, 1e-12); // still left-handed
}

TEST(CameraRig, SpaceballTurnsAboutThePreTurnAxesAndClampsWildEvents)
{
    const Vector3D center(10, 20, 30), r(0.3, -0.5, 0.7), t(4, 5, 6);
    const Matrix44<double> start = CameraRig::dragTick(CameraRig::resetPose(center), CameraRig::RightButton, 30, 20, center);
    Matrix44<double> expected = start;
    expected.setTranslation(expected.getTranslation() - center);
    for (const auto& [axis, angle] : {std::pair{0, r.x}, {1, r.y}, {2, r.z}}) {
        Matrix44<double> turn;
        turn.setRotation(start.getColumn(axis), -angle);
        expected = turn * expected;
    }
    const Matrix44<double> got = CameraRig::spaceballMotion(start, t, r, center);
    for (int i = 0; i < 3; ++i)
        expectNear(got.getColumn(i), expected.getColumn(i));
    expectNear(got.getTranslation(), expected.getTranslation() + center + expected.getColumn(0) * t.x -
                                         expected.getColumn(1) * t.y - expected.getColumn(2) * t.z);

    // A corrupt event: nothing infinite, at most half a turn and the bounded move.
    const double inf = std::numeric_limits<double>::infinity();
    const Matrix44<double> wild =
        CameraRig::spaceballMotion(start, Vector3D(1e12, -inf, NAN), Vector3D(NAN, 1e9, -inf), center);
    EXPECT_LE((wild.getTranslation() - start.getTranslation()).length(),
              400.0 + CameraRig::maxSpaceballTranslation * std::sqrt(3.0));
    EXPECT_TRUE(std::all_of(wild.data(), wild.data() + 16, [](double v) { return std::isfinite(v); }));
}

// ---- the view in real windows ------------------------------------------------------------

namespace {

struct FakeNavigation : INavigationController
{
    void navigationStateEvent(StateMachine::Event) override {}
    int getCalibrationState() const override { return calibration; }
    int getCalibrationConditionLevel() const override { return level; }
    Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw) const override { return {}; }
    bool updateStates(StateMachine::Event, int) override { return true; }
    void enter(int state) { setNextState(state), process(StateMachine::Update); }
    int calibration = 0, level = 0;
};

struct FakeModel : Model
{
    FakeModel() : Model(std::make_shared<Settings>("/nonexistent/Morvanta.ini")) {}
    Matrix44<double> getPatientTDrillOrigin() const override { return Matrix44<double>(Vector3D(0, 0, drillInView ? 25 : -3000)); }
    std::shared_ptr<Vexa::IndexedTriangleMesh> getHandpieceMesh() const override
    {
        return throwInDrawing ? throw std::runtime_error("no handpiece") : Model::getHandpieceMesh();
    }
    bool throwInDrawing = false, drillInView = false;
};

// A planning with a wall-shaped jaw behind two implants, digit meshes from the build's data
// folder, a fake navigation controller, and the view shown frameless at 400 x 400.
struct Scene
{
    Scene()
    {
        setenv("MORVANTA_HOME", MORVANTA_BINARY_DIR "/app", 1);
        Model::setNavigationControllerFactory([this](Model&) { return navigation; });
        model = std::make_shared<FakeModel>();
        Model::setNavigationControllerFactory({});
        unsetenv("MORVANTA_HOME");
        model->set3DModel(Vexa::createBoxMesh(Matrix44<double>(Vector3D(-100, 40, -100)), Vector3D(200, 10, 200)));
        model->setStateAndUpdate(Model::NormalInput);
        for (const Vector3D& at : {Vector3D(-10, 0, -5), Vector3D(10, 0, -5)})
            model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(at));
        view = std::make_unique<OpenGL3DView>(model, nullptr, "3D");
        view->setWindowFlags(Qt::FramelessWindowHint);
        view->resize(400, 400);
        view->move(ViewTest::windowPlace);
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        view->grabFramebuffer(); // the first paint places the camera
    }
    QImage grab() { return view->grabFramebuffer().convertToFormat(QImage::Format_RGB32); }
    // The pixel (image rows down) at which the live camera shows a world point.
    QRgb at(const QImage& image, const Vector3D& p) const
    {
        const auto m = CameraRig::projection(view->getCameraTransform(), 1.0);
        const auto row = [&](int r) { return m[r] * p.x + m[r + 4] * p.y + m[r + 8] * p.z + m[r + 12]; };
        return image.pixel(int((row(0) / row(3) + 1) * 200), int((1 - row(1) / row(3)) * 200));
    }

    std::shared_ptr<FakeNavigation> navigation = std::make_shared<FakeNavigation>();
    std::shared_ptr<FakeModel> model;
    std::unique_ptr<OpenGL3DView> view;
};

bool isBlue(QRgb c) { return qBlue(c) > 120 && qRed(c) < 40 && qGreen(c) < 40; }
bool isOrange(QRgb c) { return qRed(c) > 120 && qGreen(c) > 0.5 * qRed(c) && qGreen(c) < 0.8 * qRed(c) && qBlue(c) < 40; }
bool isRed(QRgb c) { return qRed(c) > 120 && qGreen(c) < 40 && qBlue(c) < 40; }
bool isGreen(QRgb c) { return qGreen(c) > 120 && qRed(c) < 40 && qBlue(c) < 40; }

}

TEST(OpenGL3DView, EmptyPlanningHidesTheViewWithItsCentreAtTheOrigin)
{
    REQUIRE_DISPLAY();
    auto model = ViewTest::makeModel(nullptr);
    QWidget frame;
    OpenGL3DView view(model, &frame, "3D");
    frame.move(ViewTest::windowPlace);
    frame.show();
    view.update();
    EXPECT_TRUE(view.isEmpty() && view.isHidden() && view.are3DModelsVisible());
    expectNear(view.getRotationCenter(), Vector3D());
    model->set3DModel(Vexa::createBoxMesh(Matrix44<double>(), Vector3D(2, 4, 6)));
    view.update();
    EXPECT_TRUE(view.isVisible());
    expectNear(view.getRotationCenter(), Vector3D(1, 2, 3));
}

TEST(OpenGL3DView, RightDragTurnsTheCameraOnItsTimerAndTwoButtonsLeaveOneTimer)
{
    REQUIRE_DISPLAY();
    Scene s;
    const Vector3D centre = s.view->getRotationCenter();
    QTest::mousePress(s.view.get(), Qt::RightButton, {}, QPoint(200, 200));
    ViewTest::moveTo(s.view.get(), QPointF(300, 200)); // 14.0625 degrees a tick
    // The eye goes left round the centre on the camera's timer.
    EXPECT_TRUE(QTest::qWaitFor([&] { return s.view->getCameraTransform().getTranslation().x < centre.x - 20.0; }, 30000));
    QTest::mouseRelease(s.view.get(), Qt::RightButton, {}, QPoint(300, 200));
    const Vector3D eye = s.view->getCameraTransform().getTranslation();
    EXPECT_NEAR((eye - centre).length(), 200.0, 1e-6);
    QTest::qWait(100);
    expectNear(s.view->getCameraTransform().getTranslation(), eye); // stopped at the release

    const auto timers = [&] { return QAbstractEventDispatcher::instance()->registeredTimers(s.view.get()).size(); };
    QTest::mousePress(s.view.get(), Qt::LeftButton, {}, QPoint(100, 100));
    QTest::mousePress(s.view.get(), Qt::RightButton, {}, QPoint(100, 100));
    EXPECT_EQ(timers(), 1);
    QTest::mouseRelease(s.view.get(), Qt::RightButton, {}, QPoint(100, 100));
    EXPECT_EQ(timers(), 1);
    QTest::mouseRelease(s.view.get(), Qt::LeftButton, {}, QPoint(100, 100));
    EXPECT_EQ(timers() + s.view->getMouseTimerId(), 0);
}

TEST(OpenGL3DView, VisibilityFeedbackAgreesWithTheProjectionAndFarModelsSnapBack)
{
    REQUIRE_DISPLAY();
    Scene s;
    const auto& b = s.model->get3DModel()->getBoundingBox();
    const auto points = CameraRig::testPoints(Vector3D(b[0], b[1], b[2]), Vector3D(b[3], b[4], b[5]));
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), distance(20.0, 4000.0);
    const auto any = [&] { return Vector3D(unit(random), unit(random), unit(random)); };
    int visible = 0, agree = 0;
    s.view->makeCurrent();
    for (int i = 0; i < 1000; ++i) {
        // Looking roughly at the model from all sides and distances, often past it.
        const Vector3D dir = any().getNormalized(), eye = s.view->getRotationCenter() - dir * distance(random);
        const auto camera =
            CameraRig::orthonormalized(Matrix44<double>(Vector3D(), any(), (dir + any() * 0.4).getNormalized(), eye));
        s.view->setCameraTransform(camera);
        const bool cpu = CameraRig::isVisible(CameraRig::projectDepths(points, camera, 1.0));
        visible += cpu;
        agree += cpu == s.view->are3DModelsVisible();
    }
    s.view->doneCurrent();
    EXPECT_EQ(agree, 1000);
    EXPECT_TRUE(visible > 100 && visible < 900) << visible;

    // Dollied out past a mean depth of 0.9995: the next paint is back at the reset view.
    const Matrix44<double> reset = CameraRig::resetPose(s.view->getRotationCenter());
    s.view->setCameraTransform(Matrix44<double>(reset.getColumn(0), reset.getColumn(1), reset.getColumn(2),
                                                reset.getTranslation() - reset.getColumn(2) * 2500.0));
    s.grab();
    expectNear(s.view->getCameraTransform().getTranslation(), reset.getTranslation(), 1e-9);
}

TEST(OpenGL3DView, ProgressiveCyclesFollowTheClockAndShowOnlyCompletePictures)
{
    REQUIRE_DISPLAY();
    Scene s;
    s.navigation->enter(1); // camera adjustment
    s.model->setStateAndUpdate(Model::Navigation);
    std::uint32_t now = 0, part = 5;
    bool started = false;
    s.view->setClock([&] { return started = !started, now += started ? 0 : part; });
    for (int i = 0; i < 5; ++i) // quick paints: one part a picture
        s.grab();
    ASSERT_EQ(s.view->getRenderPassCount(), 1);
    const struct { std::uint32_t ms; int pass, count; bool shown; } paints[] = {
        {40, 0, 2, true},                                      // one part is a picture; too slow
        {20, 1, 2, false}, {20, 0, 2, true},                   // two parts in the band
        {50, 1, 3, false}, {20, 2, 3, false}, {20, 0, 3, true}, // slow: three from the next part on
        {10, 0, 2, false},                                     // quick: fewer parts, the cycle restarts
        {20, 1, 2, false}, {20, 0, 2, true},
        {10, 0, 1, false}, {5, 0, 1, true}, {100, 0, 2, true}, {100, 1, 3, false},
    };
    QImage before = s.grab();
    for (const auto& p : paints) {
        // The live camera turns every paint; a picture keeps the camera of its first part.
        s.view->setCameraTransform(CameraRig::dragTick(s.view->getCameraTransform(), CameraRig::RightButton, 4, 0,
                                                       s.view->getRotationCenter()));
        const auto completed = s.view->getFramebuffer().completedPictures();
        part = p.ms;
        const QImage image = s.grab();
        EXPECT_EQ(std::tuple(s.view->getRenderPass(), s.view->getRenderPassCount(), image != before),
                  std::tuple(p.pass, p.count, p.shown)) << p.ms;
        EXPECT_EQ(s.view->getFramebuffer().completedPictures() > completed, p.shown) << p.ms;
        before = image;
    }
}

TEST(OpenGL3DView, PlanningShowsBlueAndOrangeImplantsWithAxesAndNumbersLeftToRight)
{
    REQUIRE_DISPLAY();
    Scene s;
    auto manager = s.model->getImplantManager();
    // Ten more far below the view, so that the last is number 12; it is being moved.
    for (int i = 0; i < 10; ++i)
        manager->addImplant(PlanningTest::makeImplantAt(Vector3D(0, 0, -3000)));
    auto twelfth = PlanningTest::makeImplantAt(Vector3D(0, 0, -15));
    manager->addImplant(twelfth);
    manager->setTransformingImplant(twelfth);
    QImage image = s.grab();
    ViewTest::keep(image, "3d-planning.png");
    EXPECT_TRUE(isBlue(s.at(image, Vector3D(-10, -2, 0))));
    EXPECT_TRUE(isBlue(s.at(image, Vector3D(10, -2, 0))));
    EXPECT_TRUE(isBlue(s.at(image, Vector3D(10, 0, 30))));      // the axis above the implant
    EXPECT_TRUE(isOrange(s.at(image, Vector3D(0, -2, -10))));   // number 12's implant
    EXPECT_FALSE(isBlue(s.at(image, Vector3D(10, 0, 45 + 10)))); // past the axis' end

    // "12" from several cameras 30 mm before it: the unlit orange of the digits in two runs of
    // columns, the narrow 1 left of the wide 2.
    const Vector3D number(1.6, 0, 38.5);
    // A jaw just behind the number keeps these close cameras from snapping back.
    s.model->set3DModel(Vexa::createBoxMesh(Matrix44<double>(Vector3D(-3, 10, 30)), Vector3D(9, 2, 16)));
    const Matrix44<double> start = CameraRig::dragTick(CameraRig::resetPose(number), CameraRig::MiddleButton, 170, 0, number);
    for (const auto& [yaw, pitch] : {std::pair{0, 0}, {25, 0}, {-35, 0}, {0, 20}, {-30, -15}}) {
        s.view->setCameraTransform(CameraRig::dragTick(start, CameraRig::RightButton, yaw, pitch, number));
        image = s.grab();
        std::vector<int> columns;
        for (int x = 0; x < image.width(); ++x)
            for (int y = 0; y < image.height(); ++y)
                if (image.pixel(x, y) == qRgb(255, 165, 0)) {
                    columns.push_back(x);
                    break;
                }
        ASSERT_GE(columns.size(), 10u) << yaw << pitch;
        const auto gap = std::adjacent_find(columns.begin(), columns.end(), [](int a, int b) { return b - a > 1; });
        ASSERT_NE(gap, columns.end()) << yaw << pitch;
        const int one = int(gap - columns.begin()) + 1, two = int(columns.end() - gap) - 1;
        EXPECT_LT(one * 2, two) << yaw << pitch;
        EXPECT_EQ(std::adjacent_find(gap + 1, columns.end(), [](int a, int b) { return b - a > 1; }), columns.end());
    }
}

TEST(OpenGL3DView, NavigationShowsRedRodsTheSignalSphereAndSurvivesAFailingDrawing)
{
    REQUIRE_DISPLAY();
    Scene s;
    s.navigation->enter(0);
    s.model->setStateAndUpdate(Model::Navigation);
    // The generated tool meshes; the drill points along -x of its origin.
    ASSERT_TRUE(s.model->getHandpieceMesh() && s.model->getDrillMesh());
    EXPECT_NEAR(s.model->getDrillMesh()->getBoundingBox()[0], -20.0, 1e-6);
    QImage image = s.grab();
    ViewTest::keep(image, "3d-navigation.png");
    EXPECT_TRUE(isRed(s.at(image, Vector3D(10, 0, 15))));
    // Where the implant's surface was: no blue.
    EXPECT_FALSE(isBlue(s.at(image, Vector3D(11.7, -2, -1))));

    const struct { int controller, calibration, level; bool green, red; } phases[] = {
        {3, 1, 2, true, false}, {3, 1, 1, false, true}, {3, 2, 2, false, false}, {1, 1, 2, false, false}};
    for (const auto& c : phases) {
        s.navigation->enter(c.controller);
        s.navigation->calibration = c.calibration;
        s.navigation->level = c.level;
        image = s.grab();
        if (c.controller == 1) // progressive: the second part completes the picture
            image = s.grab();
        for (const QPoint p : {QPoint(200, 200), QPoint(120, 150), QPoint(290, 260)}) {
            EXPECT_EQ(isGreen(image.pixel(p)), c.green) << c.controller << c.calibration << c.level;
            EXPECT_EQ(isRed(image.pixel(p)), c.red) << c.controller << c.calibration << c.level;
        }
    }

    // The handpiece's handle (up from the drill origin) and, once registered, the drill (along
    // -x) in the handpiece colour, red while the trackers are not valid.
    s.navigation->enter(0);
    s.model->drillInView = true;
    image = s.grab();
    EXPECT_TRUE(isRed(s.at(image, Vector3D(6, 0, 60))) && !isRed(s.at(image, Vector3D(-15, 0, 25))));
    s.model->registerDrill(Matrix44<double>(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(-20, 0, 0)));
    image = s.grab();
    ViewTest::keep(image, "3d-handpiece.png");
    EXPECT_TRUE(isRed(s.at(image, Vector3D(6, 0, 60))) && isRed(s.at(image, Vector3D(-15, 0, 25))));

    // A throw in the tool drawing: recorded, the picture still completed with its rods.
    s.model->throwInDrawing = true;
    const auto failures = ViewFailure::count();
    const auto pictures = s.view->getFramebuffer().completedPictures();
    image = s.grab();
    EXPECT_EQ(std::pair(ViewFailure::count(), s.view->getFramebuffer().completedPictures()),
              std::pair(failures + 1, pictures + 1));
    EXPECT_TRUE(isRed(s.at(image, Vector3D(10, 0, 15))));
}

TEST(OpenGL3DView, MissingAndDamagedMeshesAreSkippedWithOneRecord)
{
    REQUIRE_DISPLAY();
    QTemporaryDir home;
    QDir().mkpath(home.filePath("Data/Meshes"));
    for (const char* name : {"Handpiece.sff", "Digit1.sff"}) { // damaged; no drill at all
        QFile f(home.filePath(QString("Data/Meshes/") + name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("SFFBIN\0\0garbage", 15) == 15);
    }
    setenv("MORVANTA_HOME", home.path().toUtf8().constData(), 1);
    auto model = ViewTest::makeModel(nullptr);
    unsetenv("MORVANTA_HOME");
    EXPECT_FALSE(model->getHandpieceMesh() || model->getDrillMesh());
    ASSERT_TRUE(model->getDigitMesh(1));

    model->set3DModel(Vexa::createBoxMesh(Matrix44<double>(), Vector3D(10, 10, 10)));
    auto hollow = std::make_shared<Implant>(std::make_shared<Vexa::IndexedTriangleMesh>(), "Hollow", "Maker", "R1", "",
                                            10.0, 4.0, 4.5, "/db/Hollow.implant", 0, Matrix44<double>());
    model->getImplantManager()->addImplant(hollow);
    Vexa::ExceptionStack::getInstance()->clear();
    OpenGL3DView view(model, nullptr, "3D");
    view.resize(200, 150);
    view.move(ViewTest::windowPlace);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const auto pictures = view.getFramebuffer().completedPictures();
    for (int i = 0; i < 3; ++i)
        view.grabFramebuffer();
    EXPECT_EQ(Vexa::ExceptionStack::getInstance()->size(), 1u);
    EXPECT_EQ(view.getFramebuffer().completedPictures(), pictures + 3);
}

TEST(OpenGL3DView, NotificationsFromTheNavigationThreadPaintInTheGuiThread)
{
    REQUIRE_DISPLAY();
    Scene s;
    s.navigation->enter(0);
    const auto pictures = s.view->getFramebuffer().completedPictures();
    std::thread navigation([&] {
        s.model->setStateAndUpdate(Model::Navigation);
        for (int i = 0; i < 50; ++i)
            s.model->notify();
    });
    while (s.view->getFramebuffer().completedPictures() == pictures)
        QTest::qWait(10);
    navigation.join();
    // The self-update timer (10 a second) is started in the GUI thread.
    EXPECT_TRUE(QTest::qWaitFor([&] { return s.view->getTimer()->isActive(); }, 30000));
    EXPECT_GT(s.view->getFramebuffer().completedPictures(), pictures);
}
