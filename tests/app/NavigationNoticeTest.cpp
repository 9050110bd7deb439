// The messages of a navigation in an installation whose program folder may not be written: a
// handpiece calibration accepted while a message stands over the views already joins that box
// instead of opening a second one over it, says what follows, and one click closes all.
#include "AppTestSupport.h"

#include "navigation/NavigationController.h"
#include "planning/model/Model.h"
#include "shell/dialogs/CalibrationAcceptanceDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"

#include <QLabel>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTest>
#include <QWindow>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

QList<MessageDialog*> shownBoxes()
{
    QList<MessageDialog*> shown;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<MessageDialog*>(widget); box && box->isVisible())
            shown << box;
    return shown;
}

QString textOf(const MessageDialog* box)
{
    return box->findChild<QLabel*>()->text();
}

}

TEST(NavigationNoticeTest, ACalibrationThatCannotBeSavedJoinsTheBoxOverTheViews)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    std::shared_ptr<NavigationController> controller;
    Model::setNavigationControllerFactory([&controller](Model& model) {
        return controller = std::make_shared<NavigationController>(&model, Vexa::Matrix44<double>());
    });
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    AppTest::AppFolder home;
    // As a navigation's start tells a treatment log that cannot go where it belongs.
    const QString first = "The treatment log cannot go into the planning's folder.";
    enum Step { FirstBox, Acceptance, Joined, Closed } step = FirstBox;
    int most = 0, boxesAfterClick = -1;
    QString joined;
    {
        const AppTest::ReadOnlyProgramFolder user(home);
        MainWindow window(nullptr, Constants::NormalMode);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        ASSERT_TRUE(controller);
        CalibrationAcceptanceDialog acceptance(controller.get(), &window);

        // Each turn looks at the screen as the user would and does the next thing; the boxes run
        // their own event loops meanwhile. Past the bound, the boxes are closed, so that a box
        // that stays fails the test rather than holding it.
        QElapsedTimer clock;
        clock.start();
        QTimer turn;
        QObject::connect(&turn, &QTimer::timeout, [&] {
            const QList<MessageDialog*> boxes = shownBoxes();
            most = std::max(most, int(boxes.size()));
            const QString text = boxes.isEmpty() ? QString() : textOf(boxes.front());
            if (clock.elapsed() > 60000) {
                for (MessageDialog* box : boxes)
                    box->reject();
            } else if (step == FirstBox && text.contains(first)) {
                acceptance.showQuality({0.2, 0.1}, {0.3, 0.1}, {0.2, 0.1});
                step = Acceptance;
            } else if (step == Acceptance && acceptance.windowHandle() && acceptance.windowHandle()->isExposed()) {
                AppTest::xClick(acceptance.findChildren<QPushButton*>().front());
                step = Joined;
            } else if (step == Joined && text.contains("HandpieceLocTDrillOrigin") && text.contains("/Calibration")) {
                // Both failures of the acceptance told: the calibration's and its accuracy line's.
                joined = text;
                AppTest::xClick(boxes.front()->findChild<QPushButton*>());
                step = Closed;
            }
        });
        turn.start(30);
        Model::reportNavigationFailures({first.toStdString()});
        EXPECT_TRUE(AppTest::waitFor([&] { return step == Closed && shownBoxes().isEmpty(); }, 60000))
            << "step " << step;
        // Whatever was posted until the click has come by now.
        QApplication::sendPostedEvents();
        QApplication::processEvents();
        boxesAfterClick = int(shownBoxes().size());
    }
    Model::setNavigationControllerFactory({});
    IPlanningUi::install(nullptr);
    EXPECT_EQ(most, 1) << "boxes at once";
    EXPECT_EQ(boxesAfterClick, 0);
    for (const QString& part :
         {first, "The handpiece calibration could not be saved to " + home.path() + "/HandpieceLocTDrillOrigin",
          QString(".txt: Permission denied. The new calibration holds until the program ends; at the next start the "
                  "drill must be calibrated again."),
          home.path() + "/Calibration"})
        EXPECT_TRUE(joined.contains(part)) << part.toStdString() << "\nin\n" << joined.toStdString();
}
