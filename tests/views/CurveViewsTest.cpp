// The panoramic and cross-sectional views in real windows: the unrolled picture against a
// numpy and shapely oracle, the columns, the labels, and the editing along the curve.
#include "ViewTestSupport.h"

#include "planning/model/INavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/VolumeSlice.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "views/CrossSectionalView.h"
#include "views/PanoramicView.h"
#include "views/ViewFailure.h"

#include <QProcess>
#include <QTemporaryDir>
#include <fstream>

using namespace ViewTest;
using Vexa::Vector3D;

namespace {

// A navigation controller that is only there (its state stays -1, which is not 1).
class IdleController : public INavigationController
{
public:
    void navigationStateEvent(StateMachine::Event) override {}
    Vexa::Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw) const override { return {}; }
    int getCalibrationState() const override { return 0; }
    int getCalibrationConditionLevel() const override { return 0; }

protected:
    bool updateStates(StateMachine::Event, int) override { return true; }
};

// A Model whose drill is registered near the second implant.
class DrillModel : public Model
{
public:
    DrillModel() : Model(std::make_shared<Settings>("/nonexistent/Morvanta.ini")) {}
    bool isDrillRegistered() const override { return true; }
    std::shared_ptr<INavigationController> getNavigationController() const override { return controller; }
    std::shared_ptr<Implant> getDistanceAndAngleFromNearestImplantToDrill(double&, double&) const override
    {
        return getImplantManager()->getImplant(2);
    }
    std::shared_ptr<INavigationController> controller = std::make_shared<IdleController>();
};

const std::vector<Vector3D> arch = {{10, 10, 0}, {20, 40, 0}, {40, 50, 0}, {60, 40, 0}, {70, 10, 0}};

// 80 x 60 x 40 mm at 0.5 mm, grey 500, with a bright rod (3000) of 1.5 mm radius along the arch
// at 20 mm height.
std::shared_ptr<Volume> rodPhantom()
{
    auto volume = makeVolume(160, 120, 80, 0.5, 500);
    for (unsigned z = 0; z < 80; ++z)
        for (unsigned y = 0; y < 120; ++y)
            for (unsigned x = 0; x < 160; ++x) {
                const Vector3D p((x + 0.5) * 0.5, (y + 0.5) * 0.5, (z + 0.5) * 0.5);
                double d = 1e9;
                for (std::size_t i = 0; i + 1 < arch.size(); ++i) {
                    const Vector3D a = arch[i], ab = arch[i + 1] - a;
                    const double t = std::clamp((Vector3D(p.x, p.y, 0) - a).dot(ab) / ab.squaredLength(), 0.0, 1.0);
                    d = std::min(d, (Vector3D(p.x, p.y, 0) - (a + ab * t)).length());
                }
                if (d < 1.5 && std::abs(p.z - 20.0) < 1.5)
                    volume->at(x, y, z) = 3000;
            }
    return volume;
}

// The rod phantom with the panoramic curve along its arch.
std::shared_ptr<Model> archModel()
{
    auto model = makeModel(rodPhantom());
    model->getPanoramicLine()->setPoints(arch);
    return model;
}

template<class View>
std::unique_ptr<View> show(std::shared_ptr<Model> model, const char* name, QSize size = QSize())
{
    auto view = std::make_unique<View>(model, nullptr, name);
    view->setWindowFlags(Qt::FramelessWindowHint);
    view->resize(size.isValid() ? size : view->sizeHint());
    view->move(windowPlace);
    view->show();
    model->notify();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    return view;
}

QImage grab(QOpenGLWidget& view)
{
    return view.grabFramebuffer().convertToFormat(QImage::Format_RGB32);
}

// Records the columns the handpiece is drawn in.
class DrillColumns : public CrossSectionalView
{
public:
    using CrossSectionalView::CrossSectionalView;
    std::vector<Vexa::Matrix44<double>> drawnIn;

protected:
    void drawHandpieceAtSlice(std::shared_ptr<Vexa::Slice> slice) override
    {
        drawnIn.push_back(slice->getTransform());
        CrossSectionalView::drawHandpieceAtSlice(slice);
    }
};

}

TEST(PanoramicView, SizesAndEdgesAndFitting)
{
    REQUIRE_DISPLAY();
    auto model = makeModel(makeVolume(40, 40, 160, 0.5, 1000)); // 80 mm high
    PlanningTest::UiInstaller ui;
    const auto line = model->getPanoramicLine();
    PanoramicView view(model, nullptr, "Panoramic");
    // One corner is no curve: empty, and positions in it throw nothing.
    line->setPoints({{5, 5, 0}});
    EXPECT_TRUE(view.isEmpty());
    EXPECT_EQ(view.sizeHint(), QSize(0, 0));
    EXPECT_NO_THROW(view.getWorldPos(10, 10));
    line->setPoints({{0, 10, 0}, {60, 10, 0}, {60, 50, 0}}); // 100 mm
    EXPECT_EQ(view.sizeHint(), QSize(400, 320));
    view.resize(400, 320);
    for (double x : {-30.0, 0.0, 400.0, 999.0}) {
        const Vector3D p = view.getWorldPos(x, 320);
        EXPECT_EQ(Vector3D(p.x, p.y, 0), x <= 0 ? Vector3D(0, 10, 0) : Vector3D(60, 50, 0)) << x;
        EXPECT_NEAR(p.z, 0.0, 1e-12);
    }
    EXPECT_NEAR(view.getWorldPos(200, 0).z, 80.0, 1e-12);
    view.resize(0, 0);
    EXPECT_NO_THROW(view.getWorldPos(5, 5));
}

// Each view in a frame of its own (the frame's widget inside the visible area). The whole image
// fits at once when it comes (a planning shown), when the Panoramic button is pressed, while the
// curve is drawn, and when the number of cross sections changes; otherwise a zoom of the user's
// holds.
TEST(CurveViews, FitTheirFrameWhenTheImageComesOrChangesShape)
{
    REQUIRE_DISPLAY();
    auto model = makeModel(rodPhantom()); // 40 mm high at 0.5 mm: 160 pixels at zoom 1
    PlanningTest::UiInstaller ui;
    const auto line = model->getPanoramicLine();
    const auto implants = model->getImplantManager();
    QWidget panoramicFrame, panoramicParent(&panoramicFrame), sectionsFrame, sectionsParent(&sectionsFrame);
    panoramicFrame.setGeometry(QRect(windowPlace, QSize(200, 100)));
    sectionsFrame.setGeometry(QRect(windowPlace, QSize(200, 400)));
    panoramicFrame.show();
    sectionsFrame.show();
    auto* panoramic = new PanoramicView(model, &panoramicParent, "Panoramic");
    auto* sections = new CrossSectionalView(model, &sectionsParent, "Cross-sectional");
    // The fits at zoom 1: the curve's length at 4 pixels a millimetre, sections 96 pixels wide.
    const auto panoramicFit = [&] { return std::min(200.0 / int(line->getLength() / 0.25), 100.0 / 160); };
    const auto sectionsFit = [&] { return std::min(200.0 / (96 * model->getCrossSections().count), 400.0 / 160); };
    std::vector<Vector3D> drawn = arch;
    // Before each step the user zooms in: a zoom kept is 1.3 times the last.
    const struct
    {
        const char* step;
        std::function<void()> change;
        bool panoramicFits, sectionsFit;
    } steps[] = {
        {"a planning shows its curve", [&] { line->setPoints(arch); }, true, false},
        {"a corner moved", [&] { drawn.back() = {70, 20, 0}; line->setPoints(drawn); }, false, false},
        {"an implant placed", [&] { implants->addImplant(PlanningTest::makeImplantAt(Vector3D(30, 45, 2))); }, false, true},
        {"Panoramic pressed", [&] { model->setStateAndUpdate(Model::PanoramicLineInput); }, true, false},
        {"a corner drawn", [&] { drawn.push_back({75, 5, 0}); line->setPoints(drawn); }, true, false},
        {"two more implants",
         [&] {
             implants->addImplant(PlanningTest::makeImplantAt(Vector3D(20, 40, 2)));
             implants->addImplant(PlanningTest::makeImplantAt(Vector3D(50, 45, 2)));
         },
         false, true},
        {"another planning's curve",
         [&] {
             model->setStateAndUpdate(Model::NormalInput);
             line->setPoints({arch.front()});
             model->notify();
             line->setPoints(arch);
         },
         true, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        const double panoramicZoom = panoramic->getZoom(), sectionsZoom = sections->getZoom();
        panoramic->zoomIn();
        sections->zoomIn();
        step.change();
        model->notify();
        EXPECT_DOUBLE_EQ(panoramic->getZoom(), step.panoramicFits ? panoramicFit() : panoramicZoom * 1.3);
        EXPECT_DOUBLE_EQ(sections->getZoom(), step.sectionsFit ? sectionsFit() : sectionsZoom * 1.3);
    }
}

TEST(PanoramicView, RodUnrollsIntoTheBandTheOraclePredicts)
{
    REQUIRE_DISPLAY();
    auto volume = rodPhantom();
    auto model = makeModel(volume);
    model->getPanoramicLine()->setPoints(arch);
    const auto implant = PlanningTest::makeImplantAt(Vector3D(30, 45, 2));
    model->getImplantManager()->addImplant(implant);
    auto view = show<PanoramicView>(model, "Panoramic");
    const QImage image = grab(*view);

    QTemporaryDir dir;
    const std::string base = dir.filePath("rod").toStdString();
    std::ofstream(base + ".raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    std::ofstream(base + ".json") << "{\"raw\":\"" << base << ".raw\",\"dims\":[160,120,80],\"spacing\":[0.5,0.5,0.5],"
                                  << "\"corners\":[[10,10],[20,40],[40,50],[60,40],[70,10]],\"view\":["
                                  << view->width() << "," << view->height() << "]}";
    QProcess oracle;
    oracle.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tools/views_oracle.py", "unroll",
                                      QString::fromStdString(base + ".json"), QString::fromStdString(base + ".out")});
    ASSERT_TRUE(oracle.waitForFinished(120000));
    ASSERT_EQ(oracle.exitCode(), 0) << oracle.readAllStandardError().toStdString();
    std::vector<std::uint16_t> expected(std::size_t(view->width()) * view->height());
    std::ifstream(base + ".out", std::ios::binary)
        .read(reinterpret_cast<char*>(expected.data()), std::streamsize(expected.size() * 2));
    const auto bright = [&](int x, int y) { return expected[std::size_t(y) * view->width() + x] > 1000; };
    // Compared where the oracle's neighbourhood is uniform (texels and pixels differ in phase).
    int compared = 0, mismatches = 0, band = 0;
    for (int y = 3; y < view->height() - 3; ++y)
        for (int x = 3; x < view->width() - 3; ++x) {
            bool uniform = true;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx)
                    uniform = uniform && bright(x + dx, y + dy) == bright(x, y);
            const QRgb p = image.pixel(x, y);
            if (!uniform || qRed(p) != qGreen(p) || qGreen(p) != qBlue(p))
                continue; // overlays are coloured
            ++compared;
            band += bright(x, y);
            mismatches += bright(x, y) != (qRed(p) > 128);
        }
    EXPECT_GT(band, view->width() * 4);
    EXPECT_GT(compared, view->width() * view->height() / 2);
    EXPECT_EQ(mismatches, 0);

    // The implant's cross section: a green dashed line at the implant's distance along the curve.
    const double column = (std::hypot(10, 30) + std::hypot(10, 5)) * view->width() / model->getPanoramicLine()->getLength();
    int green = 0;
    for (int y = 0; y < view->height(); ++y)
        for (int dx = -1; dx <= 1; ++dx)
            green += image.pixel(int(column) + dx, y) == qRgb(0, 255, 0);
    EXPECT_GT(green, view->height() / 4);
}

TEST(CurveViews, NerveTracingDragsAndDeletion)
{
    REQUIRE_DISPLAY();
    auto model = archModel();
    PlanningTest::UiInstaller ui;
    CleanCommands commands;
    model->calcNerveEnvironments(); // divide plane x = 40 mm, where the curve has its middle corner
    model->setStateAndUpdate(Model::NerveTracing);
    auto view = show<PanoramicView>(model, "Panoramic");
    const auto nerve = model->getNerve();
    const auto processor = Vexa::CommandProcessor::getInstance();
    const auto xd = view->getDividePlaneColumn();
    ASSERT_TRUE(xd.has_value());

    const QPointF start(*xd - 60, 120);
    press(view.get(), start);
    release(view.get(), start);
    auto point = nerve->getPointNear(view->getWorldPos(start.x(), start.y()));
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ((**point)->diameter, 3.0);
    processor->undo();
    EXPECT_FALSE(processor->canUndo()); // a press without motion: only the added point

    press(view.get(), start);
    moveTo(view.get(), start + QPointF(20, -10));
    moveTo(view.get(), QPointF(*xd + 80, 130)); // across the divide plane: stops at its column
    release(view.get(), QPointF(*xd + 80, 130));
    point = nerve->getPointNear(view->getWorldPos(*xd - 1, 130));
    ASSERT_TRUE(point.has_value());
    EXPECT_LT((**point)->position.x, 40.0);
    processor->undo(); // the drag, as one step
    EXPECT_TRUE(nerve->getPointNear(view->getWorldPos(start.x(), start.y())).has_value());

    // Double clicks ask and delete only on Yes.
    ui.ui->answer = false;
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, start.toPoint());
    EXPECT_FALSE(nerve->isEmpty());
    ui.ui->answer = true;
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, start.toPoint());
    EXPECT_TRUE(nerve->isEmpty());
    EXPECT_EQ(ui.ui->questions.back(), "Attention|Do you want to delete this nerve point?");
    EXPECT_EQ(ui.ui->askedOver, view.get()) << "the question stands over the view";
}

TEST(CurveViews, MarkersMoveOnlyInHeightImplantsInOneStep)
{
    REQUIRE_DISPLAY();
    auto model = archModel();
    CleanCommands commands;
    const auto implant = PlanningTest::makeImplantAt(Vector3D(30, 45, 2));
    model->getImplantManager()->addImplant(implant);
    model->addMarker(Marker::create(Vector3D(50, 45, 10)));
    model->setStateAndUpdate(Model::MarkerDetected);
    auto panoramic = show<PanoramicView>(model, "Panoramic");
    auto sections = show<CrossSectionalView>(model, "Cross-sectional", QSize(200, 160));
    for (OpenGL2DView* view : {static_cast<OpenGL2DView*>(panoramic.get()), static_cast<OpenGL2DView*>(sections.get())}) {
        QPoint at;
        for (int x = 0; x < view->width(); ++x)
            for (int y = 0; y < view->height(); ++y)
                if ((view->getWorldPos(x, y) - Vector3D(50, 45, 10)).length() < 0.6)
                    at = QPoint(x, y);
        ASSERT_FALSE(at.isNull()) << view->objectName().toStdString();
        const Vector3D before = model->getMarkers()[0]->getPosition();
        press(view, at);
        moveTo(view, at + QPoint(15, -20));
        release(view, at + QPoint(15, -20));
        const Vector3D after = model->getMarkers()[0]->getPosition();
        EXPECT_EQ(Vector3D(after.x, after.y, 0), Vector3D(before.x, before.y, 0));
        EXPECT_GT(after.z, before.z + 1.0);
        Vexa::CommandProcessor::getInstance()->undo();
        EXPECT_EQ(model->getMarkers()[0]->getPosition(), before);
    }
    model->setStateAndUpdate(Model::NormalInput);
    const QPoint onImplant(int(panoramic->width() * (std::hypot(10, 30) + std::hypot(10, 5)) /
                               model->getPanoramicLine()->getLength()),
                           panoramic->height() - 20);
    press(panoramic.get(), onImplant);
    moveTo(panoramic.get(), onImplant + QPoint(0, -12));
    release(panoramic.get(), onImplant + QPoint(0, -12));
    EXPECT_GT(implant->getTransform().getTranslation().z, 3.0);
    Vexa::CommandProcessor::getInstance()->undo();
    EXPECT_EQ(implant->getTransform().getTranslation(), Vector3D(30, 45, 2));
}

// A turning drag ends where the mouse ends, however many move events brought it there.
TEST(CurveViews, ImplantTurnFollowsTheMouseNotTheEventCount)
{
    REQUIRE_DISPLAY();
    auto model = archModel();
    CleanCommands commands;
    const auto implant = PlanningTest::makeImplantAt(Vector3D(40, 50, 10));
    model->getImplantManager()->addImplant(implant);
    model->setStateAndUpdate(Model::NormalInput);
    auto sections = show<CrossSectionalView>(model, "Cross-sectional", QSize(200, 160));
    const auto start = implant->getTransform();
    const auto drag = [&](QPoint at, int steps) {
        press(sections.get(), at);
        for (int i = 1; i <= steps; ++i)
            moveTo(sections.get(), at + QPoint(16 * i / steps, 0));
        release(sections.get(), at + QPoint(16, 0));
        const auto end = implant->getTransform();
        while (Vexa::CommandProcessor::getInstance()->canUndo())
            Vexa::CommandProcessor::getInstance()->undo();
        return end;
    };
    // Where a press turns the implant rather than moves it: its axis changes.
    QPoint turning;
    for (int y = 0; y < sections->height() && turning.isNull(); y += 2)
        for (int x = 0; x < sections->width() && turning.isNull(); x += 2)
            if ((sections->getWorldPos(x, y) - start.getTranslation()).length() < 3.0 &&
                (drag(QPoint(x, y), 1).getColumn(2) - start.getColumn(2)).length() > 1e-3)
                turning = QPoint(x, y);
    ASSERT_FALSE(turning.isNull());
    const auto once = drag(turning, 1), inSteps = drag(turning, 8);
    for (int k = 0; k < 16; ++k)
        EXPECT_NEAR(inSteps[k], once[k], 1e-9) << k;
}

TEST(CrossSectionalView, ColumnsLabelsAndTheDrillColumn)
{
    REQUIRE_DISPLAY();
    auto model = std::make_shared<DrillModel>();
    model->setData(PlanningTest::makeData(rodPhantom()));
    model->getPanoramicLine()->setPoints(arch);
    const auto manager = model->getImplantManager();
    manager->addImplant(PlanningTest::makeImplantAt(Vector3D(70, 70, 2)));      // off the curve
    manager->addImplant(PlanningTest::makeImplantAt(Vector3D(30, 45, 2), 2));   // group B
    manager->addImplant(PlanningTest::makeImplantAt(Vector3D(50, 45, 2), 27));  // past Z
    model->setStateAndUpdate(Model::Navigation);
    auto view = show<DrillColumns>(model, "Cross-sectional", QSize(302, 160));
    // 302 / 3 = 100 whole pixels a column; the strip 300..301 belongs to none.
    const struct { double x; unsigned index; bool inside; } columns[] = {
        {-20, 0, false}, {0, 0, true}, {99.9, 0, true}, {100, 1, true}, {299.5, 2, true}, {300, 2, false}, {301, 2, false}};
    for (const auto& c : columns) {
        EXPECT_EQ(view->getSliceIndex(c.x), c.index) << c.x;
        EXPECT_EQ(view->isInColumns(c.x), c.inside) << c.x;
    }
    EXPECT_EQ(view->getCrossSectionRect(150), QRect(101, 0, 98, 160));
    EXPECT_NEAR(view->getWorldPos(150, 160).z, 0.0, 1e-12); // v = 0 at the bottom
    EXPECT_NEAR(view->getWorldPos(150, 0).z, 40.0, 1e-12);

    view->drawnIn.clear();
    const QImage image = grab(*view);
    // The handpiece in the second column only.
    ASSERT_EQ(view->drawnIn.size(), 1u);
    EXPECT_TRUE(Vexa::isEqual(view->drawnIn[0], (*std::next(model->getCrossSections().begin))->getTransform(), 1e-12));
    // Each column shows its own section; none is left to the red background.
    for (const int x : {50, 150, 250})
        EXPECT_NE(image.pixel(x, 80), qRgb(255, 0, 0)) << x;
    QStringList labels;
    for (const auto& t : view->getTextRecord()) {
        labels << t.text;
        EXPECT_NEAR(t.position.x() + QFontMetrics(t.font).horizontalAdvance(t.text) + 5,
                    100.0 * labels.size(), 0.5);
    }
    EXPECT_EQ(labels, QStringList({"1", "2 (B)", "3 (27)"}));
    // Without a curve no section is valid; the numbers still count every one.
    model->getPanoramicLine()->setPoints({{10, 10, 0}});
    EXPECT_FALSE(std::dynamic_pointer_cast<VolumeSlice>(*model->getCrossSections().begin)->isValid());
    grab(*view);
    ASSERT_EQ(view->getTextRecord().size(), 3u);
    EXPECT_EQ(view->getTextRecord()[2].text, "3 (27)");
    model->getPanoramicLine()->setPoints(arch);
    model->setStateAndUpdate(Model::MarkerDetected);
    EXPECT_EQ(view->getLabel(1), "2");

    // Presses left of the columns, in the strip and drags past either edge: nothing breaks.
    model->setStateAndUpdate(Model::NormalInput);
    const auto failures = ViewFailure::count();
    for (const QPointF p : {QPointF(-40, 10), QPointF(300, 10), QPointF(301, 150)}) {
        press(view.get(), p);
        moveTo(view.get(), p + QPointF(-500, 40));
        moveTo(view.get(), p + QPointF(900, -40));
        release(view.get(), p);
    }
    view->resize(0, 0); // narrower than the count: no column of zero width
    grab(*view);
    press(view.get(), QPointF(0, 0));
    release(view.get(), QPointF(0, 0));
    EXPECT_EQ(view->getSliceIndex(0.5), 0u);
    EXPECT_EQ(ViewFailure::count(), failures);
}

// The sample patient along its arch: the nerve canal dark 12.2 mm above the curve's plane on
// the arch's sides, not in the front; in a side implant's cross section a dark spot in bone.
TEST(CurveViews, SamplePatientCanal)
{
    REQUIRE_DISPLAY();
    auto model = makeModel(nullptr);
    ASSERT_TRUE(importSamplePatient(model));
    // Volume millimetres of the generator's arch (centre 44.8, 44.8; radius 28; sides to y 66.8).
    std::vector<Vector3D> corners = {{16.8, 66.8, 0}, {16.8, 44.8, 0}};
    for (int k = 1; k < 8; ++k)
        corners.emplace_back(44.8 + 28 * std::cos(M_PI + M_PI * k / 8), 44.8 + 28 * std::sin(M_PI + M_PI * k / 8), 0);
    corners.insert(corners.end(), {{72.8, 44.8, 0}, {72.8, 66.8, 0}});
    model->getPanoramicLine()->setPoints(corners);
    model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vector3D(16.8, 56.0, 20.0)));
    auto panoramic = show<PanoramicView>(model, "Panoramic");
    const QImage image = grab(*panoramic);
    const auto row = [&](double z) { return int((panoramic->getMMSize().height - z) / panoramic->getPixelMMSize().height); };
    const auto grey = [&](double x, double z) { return qRed(image.pixel(int(x), row(z))); };
    const double w = panoramic->width();
    for (double x : {0.05 * w, 0.12 * w, 0.88 * w, 0.95 * w}) // the sides
        EXPECT_LT(grey(x, 12.2) + 20, grey(x, 8.5)) << x;
    EXPECT_NEAR(grey(0.5 * w, 12.2), grey(0.5 * w, 8.5), 10); // the front

    auto sections = show<CrossSectionalView>(model, "Cross-sectional");
    const QImage column = grab(*sections);
    int darkest = 255, bone = 0;
    for (int x = 0; x < sections->width(); ++x) {
        const Vector3D p = sections->getWorldPos(x + 0.5, 0);
        const int y = int((1.0 - 12.2 / 56.0) * sections->height()), yBone = int((1.0 - 8.5 / 56.0) * sections->height());
        if (std::hypot(p.x - 16.8, p.y - 56.0) < 1.0) {
            darkest = std::min(darkest, qRed(column.pixel(x, y)));
            bone = std::max(bone, qRed(column.pixel(x, yBone)));
        }
    }
    EXPECT_LT(darkest + 20, bone);
}
