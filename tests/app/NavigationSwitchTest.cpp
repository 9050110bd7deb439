// The navigation switch of the real main window with a replayed camera, and without any.
#include "AppTestSupport.h"

#include "navigation/NavigationController.h"
#include "planning/model/Model.h"
#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/widgets/MainWidget.h"

#include <QLabel>
#include <QStackedWidget>
#include <QTest>
#include <gtest/gtest.h>

TEST(NavigationSwitchTest, ReplayedCameraCyclesSpaceMouseAndClosing)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    QFile replay(home.path("replay.txt")); // both tools visible for a minute
    ASSERT_TRUE(replay.open(QIODevice::WriteOnly));
    replay.write("0 0 1 1 0 0 0 0 0 -1000 0.1\n0 1 1 1 0 0 0 50 0 -1000 0.1\n60000 0 1 1 0 0 0 0 0 -1000 0.1\n");
    replay.close();
    qputenv("MORVANTA_REPLAY", home.path("replay.txt").toUtf8());
    MainWindow window(nullptr, Constants::NormalMode);
    auto navigation = std::dynamic_pointer_cast<NavigationController>(window.getModel()->getNavigationController());
    ASSERT_TRUE(navigation);
    const auto layout = [&] {
        return window.findChild<QStackedWidget*>("ButtonWidgetStack")->currentWidget()->objectName() ==
                   "NavigationButtonView" && window.getMainWidget()->findChild<QWidget*>("ControlView")->isHidden();
    };
    for (int cycle = 0; cycle < 50; ++cycle) {
        window.enableNavigation(true);
        ASSERT_TRUE(window.isNavigating() && layout() && navigation->isNavigationEnabled()) << cycle;
        EXPECT_EQ(window.getModel()->getState(), Model::Navigation);
        EXPECT_TRUE(QTest::qWaitFor([&] { return navigation->getCameraState() == 1; }, 3000)) << "ticks pass samples";
        window.enableNavigation(false);
        ASSERT_FALSE(window.isNavigating() || layout() || navigation->isNavigationEnabled()) << cycle;
    }
    window.enableNavigation(false); // already off: only notifies

    // The 3D-mouse calibration sequence: only the last four buttons other than 11 and 12 count.
    int jawQuestions = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* jaw = dynamic_cast<JawSelectionDialog*>(QApplication::activeModalWidget()))
            ++jawQuestions, jaw->accept();
    });
    answer.start(20);
    const struct { bool navigating; std::vector<int> buttons; int questions; } table[] = {
        {true, {5, 1, 7, 2}, 1}, {true, {9, 5, 1, 7, 2}, 1}, {true, {5, 1, 11, 7, 2}, 1},
        {true, {5, 1, 7}, 0},    {false, {5, 1, 7, 2}, 0},   {true, {5, 1, 7, 2, 5, 1, 7, 2}, 2}};
    for (const auto& row : table) {
        window.enableNavigation(row.navigating);
        jawQuestions = 0;
        for (int button : row.buttons)
            window.evaluateSpaceballButtons(Quorvane::Application::SpaceballButton(button));
        EXPECT_EQ(jawQuestions, row.questions) << ::testing::PrintToString(row.buttons);
        window.enableNavigation(false);
    }

    window.enableNavigation(true); // closing switches off first
    window.close();
    EXPECT_FALSE(window.isNavigating() || navigation->isNavigationEnabled());

    // No camera on the configured port: the switch springs back with the message.
    qputenv("MORVANTA_REPLAY", home.path("missing.txt").toUtf8());
    AppTest::AppFolder noCamera("SerialPort=/nonexistent/tty\n");
    MainWindow other(nullptr, Constants::NormalMode);
    QString text;
    QTimer::singleShot(300, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        for (auto* label : modal ? modal->findChildren<QLabel*>() : QList<QLabel*>())
            text += label->text();
        QTest::keyClick(modal, Qt::Key_Return);
    });
    other.enableNavigation(true);
    EXPECT_TRUE(text.contains("Error initializing navigation camera.")) << text.toStdString();
    EXPECT_FALSE(other.isNavigating());
    qunsetenv("MORVANTA_REPLAY");
}
