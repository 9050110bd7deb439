#include "NavigationDisplayFixture.h"

#include "common/TestSupport.h"
#include "planning/ModelTestSupport.h"
#include "planning/model/ImplantManager.h"

#include "navigation/Registration.h"
#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "views/navigation/AdjustWorkspaceView.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/RegistrationView.h"
#include "views/navigation/TargetingView.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <iomanip>

using namespace DisplayTest;
using namespace NavigationScene;

namespace {

const QString notResponding = "Navigation camera\nis not responding!";
const QString pleaseCalibrate = "Please calibrate\nthe instrument.";

class NavigationAdjustViewTest : public NavigationDisplayFixture
{
protected:
    void SetUp() override
    {
        NavigationDisplayFixture::SetUp();
        stack = new NavigationAdjustView(model, controller, &host, "Target");
        stack->resize(800, 600);
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    }
    QWidget* shown()
    {
        stack->update();
        return stack->currentWidget();
    }
    NavigationAdjustView* stack = nullptr;
};

}

TEST_F(NavigationAdjustViewTest, PagesFollowTheProcedure)
{
    EXPECT_EQ(stack->messagePage(), shown()) << "no tick yet: no camera data";
    EXPECT_EQ(notResponding, stack->messagePage()->shownText());
    tick(handpieceAway());
    EXPECT_EQ(stack->adjustPage(), shown());
    settle(41);
    ASSERT_EQ(NavigationController::Operation, controller->getCurrentState());
    EXPECT_EQ(stack->messagePage(), shown()) << "no calibration file: no guidance";
    EXPECT_EQ(pleaseCalibrate, stack->messagePage()->shownText());
    const QImage message = grab(*stack);
    save(message, "stack-please-calibrate");
    EXPECT_TRUE(near(message.pixelColor(10, 10), Qt::red));
    // Two centred white lines: white in the rows above and below the middle, none in between.
    auto whiteIn = [&](int top, int bottom) {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = 200; x < 600; ++x)
                n += near(message.pixelColor(x, y), Qt::white, 60);
        return n;
    };
    EXPECT_GT(whiteIn(250, 298), 100);
    EXPECT_GT(whiteIn(302, 350), 100);
    EXPECT_EQ(0, whiteIn(0, 200) + whiteIn(400, 600));

    ASSERT_EQ(1, tickUntil(NavigationController::HandpieceCalibration, handpieceAtFrame(Calibration::mandibleFrame()), 1));
    EXPECT_EQ(stack->messagePage(), shown()) << "calibrating without a calibration on record";
    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAtFrame(Calibration::mandibleFrame()), 200), 0);
    EXPECT_EQ(stack->targetingPage(), shown());

    tick(handpieceAway());
    ASSERT_EQ(1, tickUntil(NavigationController::DrillRegistration, handpieceAtPointA(25.0), 1));
    EXPECT_EQ(stack->registrationPage(), shown());
    for (int i = 0; i < 40 && controller->getSnapshot()->registrationSamples < 14; ++i)
        tick(handpieceAtPointA(25.0));
    ASSERT_EQ(14u, controller->getSnapshot()->registrationSamples);
    EXPECT_EQ(stack->registrationPage(), shown());
    const QImage sector = grab(*stack);
    save(sector, "stack-registration-14");
    // Disc of 450 px centred at (400, 330): right half green, left half red.
    EXPECT_TRUE(near(sector.pixelColor(500, 250), Qt::green));
    EXPECT_TRUE(near(sector.pixelColor(500, 410), Qt::green));
    EXPECT_TRUE(near(sector.pixelColor(300, 250), Qt::red));
    EXPECT_TRUE(near(sector.pixelColor(300, 410), Qt::red));
    EXPECT_EQ(RegistrationView::spanFor(14), -2880);
    EXPECT_EQ(RegistrationView::spanFor(1), -205);
    EXPECT_EQ(RegistrationView::spanFor(Registration::samplesNeeded + 5), -5760);

    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAtPointA(25.0), 40), 0);
    EXPECT_EQ(stack->targetingPage(), shown());
    EXPECT_TRUE(near(grab(*stack).pixelColor(int(0.055 * 800), 300), Qt::green)) << "the tool lamp of this tick";

    // The camera stops reporting; then navigation goes off: the last page stays.
    camera->advanceTo(1000000);
    tick(handpieceAway());
    EXPECT_EQ(stack->messagePage(), shown());
    EXPECT_EQ(notResponding, stack->messagePage()->shownText());
    controller->disableNavigation();
    stack->messagePage()->setMessage("unchanged");
    EXPECT_EQ(stack->messagePage(), shown());
    EXPECT_EQ(notResponding, stack->messagePage()->shownText());
}

TEST_F(NavigationAdjustViewTest, HiddenStacksRefreshNothingAndClonesFollowOneController)
{
    QWidget hiddenHost;
    NavigationAdjustView hidden(model, controller, &hiddenHost);
    std::unique_ptr<Quorvane::IView> clone(stack->clone(&host));
    auto* second = dynamic_cast<NavigationAdjustView*>(clone.get());
    ASSERT_NE(nullptr, second);
    EXPECT_EQ("Target", second->objectName());
    second->resize(800, 600);
    second->show();
    tick(handpieceAway());
    hidden.update();
    second->update();
    EXPECT_EQ(hidden.adjustPage(), hidden.currentWidget()) << "raised though hidden";
    EXPECT_EQ(second->adjustPage(), second->currentWidget());
    settle(41);
    hidden.update();
    EXPECT_EQ(hidden.messagePage(), hidden.currentWidget());
    EXPECT_EQ(QString(), hidden.messagePage()->shownText()) << "a hidden page is not refreshed";
    EXPECT_EQ(second->messagePage(), shown() == stack->messagePage() ? second->messagePage() : nullptr);

    // A clone gone, then a notification: nobody calls it.
    clone.reset();
    model->notify();
    QCoreApplication::processEvents();
}

TEST_F(NavigationAdjustViewTest, AdjustmentMarkerAndDistanceHints)
{
    tickAt(handpieceAway(), Vexa::Vector3D());
    ASSERT_EQ(stack->adjustPage(), shown());
    const auto workspace = controller->getCameraWorkspace();
    ASSERT_TRUE(workspace);
    const auto& box = workspace->getBoundingBox();
    // Predicted marker place from the reference point, the inner box and the cross-hair.
    const Vexa::Vector3D p = workspace->toWorkspace(controller->getSnapshot()->patientLocReferencePoint);
    const double m = 600, nx = 2 * p.x / (box[3] - box[0]), ny = 2 * p.y / (box[4] - box[1]);
    const QPoint marker(int(0.578 * 800 - 0.146 * m * nx), int(0.521 * 600 + 0.146 * m * ny));
    QImage image = grab(*stack);
    save(image, "stack-adjust");
    EXPECT_TRUE(near(image.pixelColor(marker + QPoint(8, 8)), Qt::red)) << marker.x() << "," << marker.y();
    const QPoint light(int(0.055 * 800), 300);
    EXPECT_TRUE(near(image.pixelColor(light), Qt::green));

    // Camera offsets that put the reference point 1 mm inside and outside each z limit.
    auto offsetTo = [&](double z) {
        const Vexa::Vector3D reference = controller->getSnapshot()->patientLocReferencePoint;
        const Vexa::Vector3D along = workspace->toWorkspace(reference + Vexa::Vector3D(0, 0, 1)) - workspace->toWorkspace(reference);
        return Vexa::Vector3D(0, 0, (z - p.z) / along.z);
    };
    auto hintRowWhite = [&](const QImage& shot, double y) {
        int n = 0;
        for (int x = int(0.055 * 800 + 0.0624 * m); x < 300; ++x)
            n += near(shot.pixelColor(x, int(y)), Qt::white, 60);
        return n > 0;
    };
    const struct
    {
        double z;
        bool close, far, green;
    } limits[] = {{box[2] + 1, false, false, true}, {box[2] - 1, true, false, false},
                  {box[5] - 1, false, false, true}, {box[5] + 1, false, true, false}};
    for (const auto& limit : limits) {
        tickAt(handpieceAway(), offsetTo(limit.z));
        stack->update();
        image = grab(*stack);
        EXPECT_EQ(limit.close, hintRowWhite(image, 300 - 0.146 * m)) << limit.z;
        EXPECT_EQ(limit.far, hintRowWhite(image, 300 + 0.146 * m)) << limit.z;
        EXPECT_EQ(limit.green, near(image.pixelColor(light), Qt::green)) << limit.z;
    }
    // A resize re-places the marker without a new sample.
    tickAt(handpieceAway(), Vexa::Vector3D());
    stack->update();
    stack->resize(640, 480);
    image = grab(*stack);
    const QPointF moved = stack->adjustPage()->markerPosition(640, 480);
    EXPECT_TRUE(near(image.pixelColor(moved.toPoint() + QPoint(6, 6)), Qt::red));
}

// Replays in which one tool stands exactly still while the other moves (as a camera without
// jitter reports them): every tick brings a new drill pose to the Model, the pages and the
// treatment log, and the camera adjustment ends after the same 42 ticks as with jitter. Only
// a tick that reads both tools' last deliveries again is passed over.
TEST_F(NavigationAdjustViewTest, AToolHeldStillLeavesTheOtherMoving)
{
    std::ofstream(NavigationController::calibrationFile(Constants::Mandible)) << std::setprecision(17) << trueCalibration();
    const Matrix44<double> drill(Vexa::Vector3D(0, 0, 25));
    const QString logs = home.filePath("Planning/Log");
    controller->disableNavigation(); // the fixture's treatment ends
    model->waitForTreatmentLog();
    QDir(logs).removeRecursively();
    for (const bool locatorStill : {true, false}) {
        start(Constants::Mandible, false);
        ASSERT_TRUE(controller->wasCalibrationDoneBefore());
        model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vexa::Vector3D(40, 40, 0)));
        const Matrix44<double> toHandpiece = Vexa::inverse(model->getHandpieceLocTDrillOrigin() * drill);
        // The drill tip circles 2 mm about the implant's axis, 3 mm deep, one step per tick.
        auto tip = [](int step) {
            const double a = step * 2 * M_PI / 40;
            return Matrix44<double>(Vexa::Vector3D(40 + 2 * std::cos(a), 40 + 2 * std::sin(a), 3));
        };
        const Matrix44<double> stillHandpiece = locatorPose() * tip(0) * toHandpiece;
        const QString file = home.filePath(locatorStill ? "locator-still.txt" : "handpiece-still.txt");
        {
            std::ofstream out(file.toStdString());
            out.precision(15);
            for (int step = 0; step <= 60; ++step) {
                writeLine(out, step * 50, 0, locatorStill ? locatorPose() * tip(step) * toHandpiece : stillHandpiece, true);
                writeLine(out, step * 50, 1, locatorStill ? locatorPose() : stillHandpiece * Vexa::inverse(tip(step) * toHandpiece), true);
            }
        }
        auto replay = std::make_shared<Vexa::ReplayCamera>(file.toStdString(), false);
        auto trackers = controller->getUsedTracker();
        replay->setTracker(trackers);
        controller->enableNavigation(replay);
        model->waitForTreatmentLog(); // the journal in the planning's folder
        replay->startReporting();
        model->registerDrill(drill);
        NavigationAdjustView pages(model, controller, &host, "Target");
        pages.resize(800, 600);
        pages.show();
        QPointF marker;
        for (int step = 1; step <= 60; ++step) {
            replay->advanceTo(step * 50);
            clock += 50;
            controller->setTrackerData(Vexa::collectTrackerData(*replay, trackers));
            pages.update();
            const Vexa::Vector3D expected = tip(step).getTranslation() - Vexa::Vector3D(40, 40, 0);
            EXPECT_LT((model->getPatientTDrill().getTranslation() - tip(step).getTranslation()).length(), 1e-6)
                << locatorStill << step;
            if (step < 42) {
                ASSERT_EQ(pages.adjustPage(), pages.currentWidget()) << locatorStill << step;
                const QPointF now = pages.adjustPage()->markerPosition(800, 600);
                if (step > 1) {
                    EXPECT_EQ(locatorStill, now == marker) << "the marker follows the locator " << step;
                }
                marker = now;
                continue;
            }
            ASSERT_EQ(pages.targetingPage(), pages.currentWidget()) << locatorStill << step;
            EXPECT_NEAR(-0.2 * expected.x, pages.targetingPage()->drillValues().positionX, 1e-6) << step;
            EXPECT_NEAR(-0.2 * expected.y, pages.targetingPage()->drillValues().positionY, 1e-6) << step;
        }
        const QImage image = grab(pages);
        save(image, locatorStill ? "still-locator-targeting" : "still-handpiece-targeting");
        const double unit = 0.3 * 600, x = pages.targetingPage()->drillValues().positionX,
                     y = pages.targetingPage()->drillValues().positionY;
        // The position dot, probed 4 px off the cross lines that run through its centre.
        EXPECT_TRUE(near(image.pixelColor(int(0.558 * 800 + 4 + unit * y), int(0.517 * 600 + 4 + unit * x)), Qt::blue));

        // One sample of the drill per tick in the journal; a tick reading the same deliveries adds none.
        const QStringList journals = QDir(logs).entryList({"*.journal"});
        ASSERT_EQ(1, journals.size());
        auto samples = [&] { return QString::fromStdString(TestSupport::readFile((logs + "/" + journals[0]).toStdString())).count("SAMPLE "); };
        EXPECT_EQ(60, samples());
        controller->setTrackerData(Vexa::collectTrackerData(*replay, trackers));
        EXPECT_EQ(60, samples());
        controller->disableNavigation();
        model->waitForTreatmentLog();
        QDir(logs).removeRecursively();
    }
}
