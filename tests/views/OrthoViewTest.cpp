// The ortho views in real windows: where the volume shows, the overlays, and the editing.
#include "ViewTestSupport.h"

#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/objects/Implant.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "views/ViewFailure.h"

#include <QDir>
#include <future>
#include <thread>
#include <cmath>

using namespace ViewTest;
using Vexa::Vector3D;

namespace {

bool isGrey(QRgb p, int g)
{
    return qRed(p) == g && qGreen(p) == g && qBlue(p) == g;
}

// Pixels of exactly this colour.
int count(const QImage& image, QRgb colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == colour;
    return n;
}

// The widget pixel whose centre getWorldPos puts into the voxel.
QPoint pixelOfVoxel(const OrthoView& view, const Volume& volume, int ix, int iy, int iz)
{
    for (int y = 0; y < view.height(); ++y)
        for (int x = 0; x < view.width(); ++x) {
            const Vector3D p = view.getWorldPos(x + 0.5, y + 0.5);
            if (int(std::floor(p.x / volume.getSpacingX())) == ix && int(std::floor(p.y / volume.getSpacingY())) == iy &&
                int(std::floor(p.z / volume.getSpacingZ())) == iz)
                return QPoint(x, y);
        }
    return QPoint(-1, -1);
}

// An 80 x 60 x 60 phantom at 0.5 mm of grey value 1000 with one voxel of 4000 at (40, 20, 10),
// every slice through it.
struct Phantom
{
    Phantom()
    {
        volume = makeVolume(80, 60, 60, 0.5, 1000);
        volume->at(40, 20, 10) = 4000;
        model = makeModel(volume);
        model->getTransversalSlicePositioner()->setSlicePosition(10.5 * 0.5);
        model->getCoronalSlicePositioner()->setSlicePosition(20.5 * 0.5);
        model->getSagitalSlicePositioner()->setSlicePosition(40.5 * 0.5);
    }
    std::shared_ptr<Volume> volume;
    std::shared_ptr<Model> model;
    PlanningTest::UiInstaller ui;
    CleanCommands commands;
};

// The curve lies in its own plane: compare in x and y.
double planar(const Vector3D& d)
{
    return std::hypot(d.x, d.y);
}

const QRgb blue = qRgb(0, 0, 255), orange = qRgb(255, 165, 0), green = qRgb(0, 255, 0);

}

TEST(OrthoView, PhantomVoxelWherePredictedWithLabelsAndCaption)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    const struct { const char* name; QSize size; QString left, right, caption; } views[] = {
        {"Axial", {80, 60}, "R", "L", "Z: 5.25"},
        {"Coronal", {80, 60}, "R", "L", "Y: 19.75"},
        {"Sagittal", {60, 60}, "B", "F", "X: 20.25"}};
    const int bright = int(4000 * 255.0 / 4095), background = int(1000 * 255.0 / 4095);
    for (const auto& v : views) {
        auto view = showView(phantom.model, v.name);
        EXPECT_EQ(view->sizeHint(), v.size) << v.name;
        const QImage image = frame(*view);
        const QPoint p = pixelOfVoxel(*view, *phantom.volume, 40, 20, 10);
        ASSERT_GE(p.x(), 1) << v.name;
        EXPECT_TRUE(isGrey(image.pixel(p), bright)) << v.name << " " << p.x() << "," << p.y();
        for (const QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)})
            EXPECT_TRUE(isGrey(image.pixel(p + d), background)) << v.name;
        QStringList texts;
        for (const auto& t : view->getTextRecord())
            texts << t.text;
        EXPECT_EQ(texts, QStringList({v.left, v.right, v.caption})) << v.name;
    }
    // The caption keeps two decimals.
    phantom.model->getTransversalSlicePositioner()->setSlicePosition(21.25);
    auto axial = showView(phantom.model, "Axial");
    frame(*axial);
    EXPECT_EQ(axial->getTextRecord().back().text, "Z: 21.25");
}

// The sample patient's axial slice at zoom 1: every voxel at its own pixel in the window's grey
// (the top row shows the front, y = 0).
TEST(OrthoView, SamplePatientVoxelsAtTheirOwnPixels)
{
    REQUIRE_DISPLAY();
    auto model = makeModel(nullptr);
    ASSERT_TRUE(importSamplePatient(model));
    model->getTransversalSlicePositioner()->setSlicePosition(41.25);
    auto view = showView(model, "Axial");
    const QImage image = frame(*view);
    const auto volume = model->getVolumeData();
    const int low = model->getMinVoxelValue(), high = std::max(model->getMaxVoxelValue(), low + 1);
    const unsigned iz = unsigned(41.25 / volume->getSpacingZ());
    int mismatches = 0, compared = 0;
    // Away from the one-pixel border and the texts.
    for (int y = 2; y < view->height() - 2; ++y)
        for (int x = 2; x < view->width() - 2; ++x) {
            const bool text = y < 24 || (std::abs(y - view->height() / 2) < 16 && (x < 30 || x > view->width() - 30));
            if (text)
                continue;
            const double g = volume->at(unsigned(x), unsigned(y), iz) * (255.0 / (high - low)) -
                             low * (255.0 / (high - low));
            ++compared;
            mismatches += !isGrey(image.pixel(x, y), int(std::clamp(g, 0.0, 255.0)));
        }
    EXPECT_EQ(view->getTextRecord().back().text, "Z: 41.25");
    EXPECT_GT(compared, 50000);
    EXPECT_EQ(mismatches, 0);
}

TEST(OrthoView, ImplantsBlueAndOrangeWhileMovedOneUndoStep)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    const auto manager = phantom.model->getImplantManager();
    const auto implant = PlanningTest::makeImplantAt(Vector3D(20.0, 15.0, 2.0));
    manager->addImplant(implant);
    auto view = showView(phantom.model, "Axial");
    EXPECT_GT(count(frame(*view), blue), 10);
    EXPECT_EQ(count(frame(*view), orange), 0);

    const QPointF at(40.0, 30.0); // over the implant's axis
    press(view.get(), at);
    EXPECT_GT(count(frame(*view), orange), 10);
    moveTo(view.get(), at + QPointF(6, 0));
    release(view.get(), at + QPointF(6, 0));
    EXPECT_NEAR(implant->getTransform().getTranslation().x, 23.0, 1e-9);
    EXPECT_EQ(count(frame(*view), orange), 0);
    Vexa::CommandProcessor::getInstance()->undo();
    EXPECT_NEAR(implant->getTransform().getTranslation().x, 20.0, 1e-9);
    EXPECT_FALSE(Vexa::CommandProcessor::getInstance()->canUndo());
    // A click without motion records nothing.
    press(view.get(), at);
    release(view.get(), at);
    EXPECT_FALSE(Vexa::CommandProcessor::getInstance()->canUndo());
}

TEST(OrthoView, ImplantTurnsInTheCoronalView)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    const auto implant = PlanningTest::makeImplantAt(Vector3D(20.0, 10.25, 10.0));
    phantom.model->getImplantManager()->addImplant(implant);
    auto view = showView(phantom.model, "Coronal");
    // Beside the implant's low end (x 20 mm + 2 mm, z 10.5 mm), then sideways.
    const QPointF at(44.0, 60 - 21.0);
    press(view.get(), at);
    moveTo(view.get(), at + QPointF(8, 4));
    // Onto the turning point itself: no direction to the mouse, no NaN in the pose.
    moveTo(view.get(), QPointF(40, 20));
    EXPECT_TRUE(std::isfinite(implant->getTransform().getColumn(2).x));
    moveTo(view.get(), at + QPointF(8, 4));
    release(view.get(), at + QPointF(8, 4));
    const Vector3D axis = implant->getTransform().getColumn(2);
    EXPECT_LT(axis.z, 0.999);
    EXPECT_NEAR(axis.y, 0.0, 1e-9); // turned in the coronal plane
    EXPECT_TRUE(std::isfinite(axis.x));
    Vexa::CommandProcessor::getInstance()->undo();
    EXPECT_NEAR(implant->getTransform().getColumn(2).z, 1.0, 1e-12);
    EXPECT_FALSE(Vexa::CommandProcessor::getInstance()->canUndo());
}

TEST(OrthoView, MarkerCirclesKeepTenPixelsAndNoSeventhMarker)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    phantom.model->setStateAndUpdate(Model::MarkerDetected);
    phantom.model->addMarker(Marker::create(Vector3D(20.25, 15.25, 5.25)));
    for (int zoomSteps : {0, 2}) {
        auto view = showView(phantom.model, "Axial");
        for (int i = 0; i < zoomSteps; ++i)
            view->zoomIn();
        view->resize(view->sizeHint());
        const QImage image = frame(*view);
        const double r = view->devicePixelRatioF();
        const QPoint c = pixelOfVoxel(*view, *phantom.volume, 40, 30, 10);
        // On the marker's row: the circle 10 px out on both sides, nothing between 8 and the cross.
        int onCircle = 0;
        for (int dx = 9; dx <= 11; ++dx)
            onCircle += image.pixel(int((c.x() + dx) * r), int(c.y() * r)) == green;
        EXPECT_GE(onCircle, 1) << "zoom steps " << zoomSteps;
        EXPECT_NE(image.pixel(int((c.x() + 14) * r), int(c.y() * r)), green);
    }
    for (int i = 1; i < 6; ++i)
        phantom.model->addMarker(Marker::create(Vector3D(5.0 * i, 5.0, 5.25)));
    auto view = showView(phantom.model, "Axial");
    press(view.get(), QPointF(70, 50));
    release(view.get(), QPointF(70, 50));
    EXPECT_EQ(phantom.model->getMarkers().size(), 6u);
}

TEST(OrthoView, PanoramicCurveByClicksAndCornerDragIsOneUndoStep)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    phantom.model->setStateAndUpdate(Model::PanoramicLineInput);
    auto view = showView(phantom.model, "Axial");
    const QPointF clicks[] = {{10, 40}, {40, 10}, {70, 40}};
    for (const QPointF& p : clicks) {
        press(view.get(), p);
        release(view.get(), p);
    }
    const auto line = phantom.model->getPanoramicLine();
    ASSERT_EQ(line->numberOfCorners(), 3u);
    auto corner = *line->cornersBegin();
    const Vector3D expected = view->getWorldPos(10, 40);
    EXPECT_NEAR(planar(line->toWorld(corner->getPosition()) - expected), 0.0, 1e-6);
    auto* processor = Vexa::CommandProcessor::getInstance().get();
    press(view.get(), QPointF(10, 40));
    moveTo(view.get(), QPointF(14, 42));
    moveTo(view.get(), QPointF(16, 44));
    release(view.get(), QPointF(16, 44));
    EXPECT_NEAR(planar(line->toWorld(corner->getPosition()) - view->getWorldPos(16, 44)), 0.0, 1e-6);
    processor->undo();
    EXPECT_NEAR(planar(line->toWorld(corner->getPosition()) - expected), 0.0, 1e-6);
    EXPECT_EQ(line->numberOfCorners(), 3u);

    // Double click: deleted only on Yes.
    phantom.ui.ui->answer = false;
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, QPoint(40, 10));
    EXPECT_EQ(line->numberOfCorners(), 3u);
    phantom.ui.ui->answer = true;
    QTest::mouseDClick(view.get(), Qt::LeftButton, {}, QPoint(40, 10));
    EXPECT_EQ(line->numberOfCorners(), 2u);
    ASSERT_FALSE(phantom.ui.ui->questions.empty());
    EXPECT_EQ(phantom.ui.ui->questions.back(), "Attention|Do you really want to delete this panoramic point?");
    EXPECT_EQ(phantom.ui.ui->askedOver, view.get()) << "the question stands over the view";
}

TEST(OrthoView, LengthMeasuringShowsTheLengthBox)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    phantom.model->setStateAndUpdate(Model::LengthMeasuring);
    auto view = showView(phantom.model, "Axial");
    press(view.get(), QPointF(10, 30));
    release(view.get(), QPointF(10, 30));
    press(view.get(), QPointF(35, 30)); // 25 pixels of 0.5 mm
    release(view.get(), QPointF(35, 30));
    ASSERT_EQ(phantom.ui.ui->messages.size(), 1u);
    EXPECT_EQ(phantom.ui.ui->messages[0], "Morvanta Planning|\nLength is 12.50     ");
    EXPECT_EQ(phantom.model->getMeasuringState(), 0);
}

// Presses far outside the widget, a widget without pixels, a flat window and an emptied volume:
// clamped or ignored, never a failure.
TEST(OrthoView, BadInputIsClampedOrIgnored)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    phantom.model->setStateAndUpdate(Model::PanoramicLineInput);
    auto view = showView(phantom.model, "Axial");
    const auto failures = ViewFailure::count();
    press(view.get(), QPointF(-500, 9000));
    release(view.get(), QPointF(-500, 9000));
    const auto line = phantom.model->getPanoramicLine();
    ASSERT_EQ(line->numberOfCorners(), 1u);
    const Vector3D corner = line->toWorld((*line->cornersBegin())->getPosition());
    EXPECT_NEAR(planar(corner - view->getWorldPos(0, 59)), 0.0, 1e-6);

    phantom.model->setMinVoxelValue(1000);
    phantom.model->setMaxVoxelValue(1000);
    phantom.model->notify();
    const QImage flat = frame(*view);
    EXPECT_TRUE(isGrey(flat.pixel(40, 40), 0) || isGrey(flat.pixel(40, 40), 255));

    view->resize(0, 0);
    frame(*view);
    press(view.get(), QPointF(5, 5));
    release(view.get(), QPointF(5, 5));
    EXPECT_EQ(ViewFailure::count(), failures);

    phantom.model->clear();
    phantom.model->notify();
    EXPECT_TRUE(view->isHidden());
    EXPECT_EQ(view->sizeHint(), QSize(0, 0));
}

// While a job puts a planning into the Model, a paint shows only the background and comes back
// once the planning is in.
TEST(OrthoView, NoPaintOfAHalfReplacedPlanning)
{
    REQUIRE_DISPLAY();
    Phantom phantom;
    auto view = showView(phantom.model, "Axial");
    std::promise<void> locked, done;
    std::thread job([&] {
        const auto lock = phantom.model->changeLock();
        locked.set_value();
        done.get_future().wait();
    });
    locked.get_future().wait();
    EXPECT_TRUE(isGrey(frame(*view).pixel(40, 40), 0));
    done.set_value();
    job.join();
    EXPECT_TRUE(isGrey(frame(*view).pixel(40, 40), int(1000 * 255.0 / 4095)));
}
