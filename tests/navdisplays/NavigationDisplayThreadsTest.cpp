// The displays refreshing at 15 Hz from their own timers while the replay camera's thread and a
// fast tick thread (in lockstep on one tick count) drive the controller and the Model, and the
// tick thread also notifies (its calls are handed to the GUI thread). Run under ThreadSanitizer by scripts/test.
#include "NavigationDisplayFixture.h"

#include "navigation/Tracker.h"
#include "views/ViewFailure.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/navigation/StatusBarView.h"

#include <QLabel>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace NavigationScene;

class NavigationDisplayThreads : public NavigationScene::NavigationFixture
{
};

TEST_F(NavigationDisplayThreads, PagesRefreshWhileTheTicksRun)
{
    auto camera = replayProcedure(400, 10, false);
    start(Constants::Mandible, false);
    auto trackers = controller->getUsedTracker();
    camera->setTracker(trackers);
    camera->startReporting();
    TickedReplay replay(camera, [&](std::uint32_t tick) {
        controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers));
        if ((tick + 1) % 10 == 0)
            model->notify();
    });
    controller->setClock([&replay] { return replay.ticks() * 50; });
    model->setNavigationClock([&replay] { return replay.ticks() * 50; });
    controller->enableNavigation(camera);
    model->enableNavigation();

    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* stack = new NavigationAdjustView(model, controller, &window);
    stack->setFixedSize(640, 480);
    column->addWidget(stack);
    auto* strip = new NavigationButtonView(model, &window);
    column->addWidget(strip);
    auto* status = new StatusBarView(&window);
    status->setModel(model);
    status->setNavigationController(controller);
    column->addWidget(status);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    model->notify(); // in state 7: the displays start their timers

    const unsigned long failures = ViewFailure::count();
    replay.start();
    QSet<QWidget*> pages;
    // The whole trajectory (800 ticks) and its silence after it.
    const bool ran = replay.runUntil(2000, [&] {
        QTest::qWait(20);
        pages.insert(stack->currentWidget());
    });
    replay.stop();
    camera->stopReporting();
    ASSERT_TRUE(ran) << "the timer made only " << replay.ticks() << " of 2000 ticks in three minutes";
    QTest::qWait(100);
    EXPECT_TRUE(stack->getTimer()->isActive());
    EXPECT_GE(pages.size(), 3) << "adjustment, calibration message or targeting, registration";
    EXPECT_EQ(failures, ViewFailure::count());
    EXPECT_FALSE(status->stateLabel()->text().isEmpty());
    controller->disableNavigation();
}
