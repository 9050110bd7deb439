// The navigation switch of the real main window with a replayed camera, and without any.
#include "AppTestSupport.h"

#include "navigation/NavigationController.h"
#include "planning/model/Model.h"
#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/widgets/MainWidget.h"

#include <QStackedWidget>
#include <QDir>
#include <QLabel>
#include <QTimer>
#include <QTest>
#include <gtest/gtest.h>
#include <QToolButton>

namespace {

struct NavigationSwitchTest : ::testing::Test
{
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
    }
    void TearDown() override { qunsetenv("MORVANTA_REPLAY"); }

    // The window's two stacks name the layout: planning buttons and logo, or navigation.
    static bool navigationLayout(MainWindow& window)
    {
        auto* buttons = window.findChild<QStackedWidget*>("ButtonWidgetStack");
        auto* control = window.getMainWidget()->findChild<QWidget*>("ControlView");
        return buttons->currentWidget()->objectName() == "NavigationButtonView" && control && control->isHidden();
    }
};

}

TEST_F(NavigationSwitchTest, ReplayedCameraOnAndOffCycles)
{
    AppTest::AppFolder home;
    // Both tools visible for a minute.
    QFile trajectory(home.path("replay.txt"));
    ASSERT_TRUE(trajectory.open(QIODevice::WriteOnly));
    for (int t = 0; t <= 60000; t += 1000)
        for (int tool : {0, 1})
            trajectory.write(QString("%1 %2 1 1 0 0 0 %3 0 -1000 0.1\n").arg(t).arg(tool).arg(tool * 50).toUtf8());
    trajectory.close();
    qputenv("MORVANTA_REPLAY", home.path("replay.txt").toUtf8());
    MainWindow window(nullptr, Constants::NormalMode);
    auto navigation = std::dynamic_pointer_cast<NavigationController>(window.getModel()->getNavigationController());
    ASSERT_TRUE(navigation);
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE(cycle);
        window.enableNavigation(true);
        ASSERT_TRUE(window.isNavigating());
        EXPECT_TRUE(navigationLayout(window));
        EXPECT_TRUE(navigation->isNavigationEnabled());
        EXPECT_EQ(window.getModel()->getState(), Model::Navigation);
        // The ticks hand the running camera's samples over.
        EXPECT_TRUE(QTest::qWaitFor([&] { return navigation->getCameraState() == 1; }, 3000));
        if (const QString folder = qEnvironmentVariable("MORVANTA_ARTIFACTS"); cycle == 0 && !folder.isEmpty())
            window.grab().save(folder + "/navigation-switched-on.png");
        window.enableNavigation(false);
        EXPECT_FALSE(window.isNavigating());
        EXPECT_FALSE(navigationLayout(window));
        EXPECT_FALSE(navigation->isNavigationEnabled());
        EXPECT_NE(window.getModel()->getState(), Model::Navigation);
    }
    window.enableNavigation(false); // already off: only notifies
    EXPECT_FALSE(window.isNavigating());
    // Closing while navigating switches navigation off first.
    window.enableNavigation(true);
    ASSERT_TRUE(window.isNavigating());
    window.close();
    EXPECT_FALSE(window.isNavigating());
    EXPECT_FALSE(navigation->isNavigationEnabled());
}

TEST_F(NavigationSwitchTest, SpaceMouseSequenceForcesTheCalibrationOnlyWhileNavigating)
{
    AppTest::AppFolder home;
    QFile trajectory(home.path("replay.txt"));
    ASSERT_TRUE(trajectory.open(QIODevice::WriteOnly));
    trajectory.write("0 0 1 1 0 0 0 0 0 -1000 0.1\n60000 0 1 1 0 0 0 0 0 -1000 0.1\n");
    trajectory.close();
    qputenv("MORVANTA_REPLAY", home.path("replay.txt").toUtf8());
    MainWindow window(nullptr, Constants::NormalMode);
    int jawQuestions = 0;
    QTimer answer; // every jaw question is answered "Upper Jaw"
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* jaw = dynamic_cast<JawSelectionDialog*>(QApplication::activeModalWidget())) {
            ++jawQuestions;
            jaw->accept();
        }
    });
    answer.start(20);
    const struct
    {
        bool navigating;
        std::vector<int> buttons;
        int questions;
    } table[] = {
        {true, {5, 1, 7, 2}, 1},     {true, {9, 5, 1, 7, 2}, 1}, {true, {5, 1, 11, 7, 2}, 1},
        {true, {5, 1, 7}, 0},        {false, {5, 1, 7, 2}, 0},   {true, {5, 1, 7, 2, 5, 1, 7, 2}, 2},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(::testing::PrintToString(row.buttons));
        if (row.navigating)
            window.enableNavigation(true);
        ASSERT_EQ(window.isNavigating(), row.navigating);
        jawQuestions = 0;
        for (int button : row.buttons)
            window.evaluateSpaceballButtons(Quorvane::Application::SpaceballButton(button));
        EXPECT_EQ(jawQuestions, row.questions);
        window.enableNavigation(false);
    }
    // 11 takes a screenshot, 12 starts and stops the video, in planning as well.
    const auto pictures = [&] { return QDir(home.path("Images")).entryList(QDir::Files).size(); };
    const auto before = pictures();
    window.evaluateSpaceballButtons(Quorvane::Application::Button11);
    EXPECT_EQ(pictures(), before + 1);
    window.evaluateSpaceballButtons(Quorvane::Application::Button12);
    QTest::qWait(300);
    window.evaluateSpaceballButtons(Quorvane::Application::Button12);
    EXPECT_EQ(pictures(), before + 2);
}

TEST_F(NavigationSwitchTest, NoCameraSpringsBackWithAMessage)
{
    AppTest::AppFolder home("SerialPort=/nonexistent/tty\n");
    qputenv("MORVANTA_REPLAY", home.path("missing.txt").toUtf8());
    MainWindow window(nullptr, Constants::NormalMode);
    AppTest::DialogAnswerer answer;
    QString text;
    answer.then([&](QWidget* modal) {
        if (!modal->inherits("MessageDialog"))
            return false;
        text = modal->windowTitle();
        for (auto* label : modal->findChildren<QLabel*>())
            text += "|" + label->text();
        QTest::keyClick(modal, Qt::Key_Return);
        return true;
    });
    window.enableNavigation(true);
    EXPECT_TRUE(answer.done()) << answer.seen.join("\n").toStdString();
    EXPECT_TRUE(text.startsWith("Morvanta")) << text.toStdString();
    EXPECT_TRUE(text.contains("Error initializing navigation camera.")) << text.toStdString();
    EXPECT_FALSE(window.isNavigating());
    EXPECT_FALSE(navigationLayout(window));
}
