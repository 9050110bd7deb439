// The navigation switch of the real main window: simulated Polaris cameras (the "SerialPort"
// setting names their pseudo-terminal) through switching on, the ticks, switching off and the
// failures; a replayed camera through fifty cycles, the 3D-mouse sequence and closing.
#include "AppTestSupport.h"
#include "SimulatedPolaris.h"

#include "navigation/NavigationController.h"
#include "navigation/TrackerData.h"
#include "planning/model/Model.h"
#include "shell/dialogs/AlgorithmProgressDialog.h"
#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/StatusBarView.h"

#include <QLabel>
#include <QStackedWidget>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>
#include <mutex>

namespace {

// Keeps every tick's samples; the tick numbered `throwAt` throws.
struct RecordingController : NavigationController
{
    using NavigationController::NavigationController;
    void setTrackerData(const std::vector<Vexa::TrackerData>& samples) override
    {
        {
            std::lock_guard lock(mutex);
            ticks.push_back(samples);
            if (int(ticks.size()) == throwAt)
                throw std::runtime_error("The tick failed.");
        }
        NavigationController::setTrackerData(samples);
    }
    std::vector<std::vector<Vexa::TrackerData>> taken()
    {
        std::lock_guard lock(mutex);
        return ticks;
    }
    int throwAt = 0; // set before the ticks start
    std::mutex mutex;
    std::vector<std::vector<Vexa::TrackerData>> ticks;
};

// The windows build their controller here; messages are read and answered, the save question
// is cancelled, shown progress dialogs are counted.
class NavigationSwitchTest : public ::testing::Test, public QObject
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
        Model::setNavigationControllerFactory([this](Model& model) {
            return controller = std::make_shared<RecordingController>(&model, Vexa::Matrix44<double>());
        });
        QObject::connect(&answer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* message = qobject_cast<MessageDialog*>(modal)) {
                for (auto* label : message->findChildren<QLabel*>())
                    messages += label->text() + "\n";
                QTest::keyClick(message, Qt::Key_Return);
            } else if (modal && modal->inherits("SaveDialog")) {
                AppTest::clickButton("SaveDialog", "Cancel")(modal);
            }
        });
        answer.start(20);
        qApp->installEventFilter(this);
    }
    void TearDown() override
    {
        qApp->removeEventFilter(this);
        Model::setNavigationControllerFactory({});
    }
    bool eventFilter(QObject* object, QEvent* event) override
    {
        progressShown += event->type() == QEvent::Show && qobject_cast<AlgorithmProgressDialog*>(object);
        return false;
    }

    std::shared_ptr<RecordingController> controller;
    QTimer answer;
    QString messages;
    int progressShown = 0;
};

// The named widget of any window (the mini display is a window of its own).
template<class W = QStackedWidget>
W* named(const char* name)
{
    for (auto* w : QApplication::allWidgets())
        if (w->objectName() == name)
            return dynamic_cast<W*>(w);
    return nullptr;
}

// The page names of button row and mini display, the shown views and "Control" when the
// control view is shown.
QString layout(const MainWindow& window)
{
    QStringList views;
    for (auto* frame : window.getMainWidget()->findChildren<ViewFrame*>())
        if (frame->isVisibleTo(window.getMainWidget()) && frame->getView())
            views << frame->getView()->objectName();
    if (window.getMainWidget()->findChild<QWidget*>("ControlView")->isVisibleTo(window.getMainWidget()))
        views << "Control";
    views.sort();
    return named("ButtonWidgetStack")->currentWidget()->objectName() + " "
           + named("MiniDisplay WidgetStack")->currentWidget()->objectName() + ": " + views.join(' ');
}

}

TEST_F(NavigationSwitchTest, SimulatedCamerasSwitchTickAndFail)
{
    enum Camera { Good, Silent, Garbled };
    const QString views = "NavigationButtonView NavigationAdjustView: 3D Axial Cross-sectional Panoramic Target";
    const struct
    {
        const char* name;
        int mode; // 1 Surgical, 2 Light
        QStringList options; // of the simulator; "none": nothing on the port
        Camera camera;
        bool changed; // unsaved changes: the save question, cancelled
        int throwAt;
        QString navigating; // the layout; empty: the switch springs back
        const char* message;
    } table[] = {
        {"surgical", 1, {}, Good, false, 0, views, ""},
        {"light", 2, {}, Good, false, 0, "NavigationButtonView NavigationAdjustView: 3D", ""},
        {"silent", 1, {"--silence-after", "600"}, Silent, false, 0, views, ""},
        {"garbled", 1, {"--fault", "crc,short,glued", "--fault-every", "1"}, Garbled, false, 0, views, ""},
        {"throwing tick", 1, {}, Good, false, 5, views, "The tick failed."},
        {"no camera", 1, {"none"}, Good, false, 0, "", "Error initializing navigation camera."},
        {"start fails", 1, {"--no-answer", "TSTART"}, Good, false, 0, "", "Polaris::startReporting()"},
        {"save cancelled", 1, {}, Good, true, 0, "", ""},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const bool none = row.options == QStringList{"none"};
        SimulatedPolaris polaris(none ? QStringList() : row.options);
        AppTest::AppFolder home(QString("Mode=%1\nSerialPort=%2\n")
                                    .arg(row.mode)
                                    .arg(none ? "/nonexistent/tty" : QString::fromStdString(polaris.sim->device)));
        MainWindow window(nullptr, Constants::NormalMode);
        // Navigation on waits for the start's walk of the patient folders under a progress
        // dialog of its own: the count below is the camera search's alone.
        bool walked = false;
        QObject::connect(&window, &MainWindow::earlierSessionsFinished, [&walked] { walked = true; });
        ASSERT_TRUE(AppTest::waitFor([&walked] { return walked; }, 60000));
        if (row.changed)
            window.getModel()->setJaw(Constants::Maxilla);
        controller->throwAt = row.throwAt;
        const QString planning = layout(window);
        auto* button = window.findChild<QToolButton*>("NavigationButton");
        messages.clear();
        progressShown = 0;
        button->setChecked(true);

        EXPECT_EQ(progressShown, row.changed ? 0 : 1) << "the camera search runs under the progress dialog";
        ASSERT_EQ(window.isNavigating() && button->isChecked(), !row.navigating.isEmpty());
        if (window.isNavigating()) {
            EXPECT_EQ(window.getModel()->getState(), Model::Navigation);
            EXPECT_EQ(layout(window), row.navigating);
            // 1.5 s of ticks; a silent camera is given up after a second without replies.
            const std::size_t wanted = row.throwAt ? row.throwAt : row.camera == Good ? 30 : 60;
            EXPECT_TRUE(AppTest::waitFor([&] { return controller->taken().size() >= wanted; }, 10000));
            const QString status = named<StatusBarView>("StatusBarView")->stateLabel()->text();
            const auto ticks = controller->taken();
            int visible = 0;
            for (const auto& samples : ticks) {
                ASSERT_EQ(samples.size(), 2u) << "one sample per used tracker";
                for (int tool : {0, 1}) {
                    // In tracker order; defaults while the camera does not run.
                    const double x = samples[tool].getTransform()[12];
                    visible += samples[tool].isVisible();
                    EXPECT_TRUE(samples[tool].isVisible() ? std::abs(x - (tool == 0 ? 10.0 : -20.0)) < 0.02
                                                          : Vexa::isEqual(samples[tool].getTransform(), {}, 1e-12));
                }
            }
            if (row.camera == Good && !row.throwAt) {
                EXPECT_TRUE(status.contains("Patient RMS: 0.20 Tool RMS: 0.10")) << status.toStdString();
            } else if (row.camera != Good) {
                // Nothing usable from the camera: the drill is never left valid, and it shows.
                EXPECT_EQ(visible > 0, row.camera == Silent);
                EXPECT_FALSE(ticks.back()[0].isVisible() || ticks.back()[1].isVisible());
                EXPECT_FALSE(window.getModel()->isHandpieceTrackerValid());
                EXPECT_TRUE(status.contains("Patient RMS: n.a. Tool RMS: n.a.")) << status.toStdString();
                auto* pages = named<NavigationAdjustView>("NavigationAdjustView");
                EXPECT_TRUE(AppTest::waitFor([&] { return pages->currentWidget() == pages->messagePage(); }, 2000));
                EXPECT_EQ(pages->messagePage()->message(), "Navigation camera\nis not responding!");
            }
            EXPECT_EQ(AppTest::waitFor([&] { return !window.isNavigating(); }, 1000), row.throwAt > 0);
            button->setChecked(false);
        }
        EXPECT_TRUE(messages.contains(row.message)) << messages.toStdString();
        EXPECT_FALSE(window.isNavigating() || button->isChecked() || controller->isNavigationEnabled());
        EXPECT_NE(window.getModel()->getState(), Model::Navigation);
        EXPECT_EQ(layout(window), planning);
    }
}

TEST_F(NavigationSwitchTest, ReplayedCameraCyclesSpaceMouseAndClosing)
{
    AppTest::AppFolder home;
    QFile replay(home.path("replay.txt")); // both tools visible for a minute
    ASSERT_TRUE(replay.open(QIODevice::WriteOnly));
    replay.write("0 0 1 1 0 0 0 0 0 -1000 0.1\n0 1 1 1 0 0 0 50 0 -1000 0.1\n60000 0 1 1 0 0 0 0 0 -1000 0.1\n");
    replay.close();
    qputenv("MORVANTA_REPLAY", home.path("replay.txt").toUtf8());
    MainWindow window(nullptr, Constants::NormalMode);
    for (int cycle = 0; cycle < 50; ++cycle) {
        window.enableNavigation(true);
        ASSERT_TRUE(window.isNavigating() && controller->isNavigationEnabled()) << cycle;
        EXPECT_TRUE(QTest::qWaitFor([&] { return controller->getCameraState() == 1; }, 3000)) << "ticks pass samples";
        window.enableNavigation(false);
        ASSERT_FALSE(window.isNavigating() || controller->isNavigationEnabled()) << cycle;
    }
    window.enableNavigation(false); // already off: only notifies
    EXPECT_TRUE(messages.isEmpty()) << messages.toStdString();

    // The 3D-mouse calibration sequence: only the last four buttons other than 11 and 12 count.
    int jawQuestions = 0;
    QTimer jaw;
    QObject::connect(&jaw, &QTimer::timeout, [&] {
        if (auto* dialog = dynamic_cast<JawSelectionDialog*>(QApplication::activeModalWidget()))
            ++jawQuestions, dialog->accept();
    });
    jaw.start(20);
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
    EXPECT_FALSE(window.isNavigating() || controller->isNavigationEnabled());
    qunsetenv("MORVANTA_REPLAY");
}
