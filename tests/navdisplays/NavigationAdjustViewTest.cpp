#include "NavigationDisplayFixture.h"

#include "navigation/Registration.h"
#include "navigation/Workspace.h"
#include "views/navigation/AdjustWorkspaceView.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/RegistrationView.h"
#include "views/navigation/TargetingView.h"

#include <gtest/gtest.h>

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
