// The navigation switch of the real main window: simulated Polaris cameras on pseudo-terminals
// (the "SerialPort" setting points at them) through switching on, the ticks and switching off,
// and its failures; a replayed camera through fifty cycles, the 3D-mouse sequence and closing.
#include "AppTestSupport.h"
#include "../navigation/PtySimulator.h"

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

// Keeps every tick's samples; the tick numbered `throwAt` throws instead.
class RecordingController : public NavigationController
{
public:
    using NavigationController::NavigationController;
    void setTrackerData(const std::vector<Vexa::TrackerData>& samples) override
    {
        {
            std::lock_guard lock(mutex_);
            ticks_.push_back(samples);
            if (int(ticks_.size()) == throwAt)
                throw std::runtime_error("The tick failed.");
        }
        NavigationController::setTrackerData(samples);
    }
    std::vector<std::vector<Vexa::TrackerData>> ticks() const
    {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    std::atomic<int> throwAt{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::vector<Vexa::TrackerData>> ticks_;
};

// The windows of this test build their controller here; message texts are collected and
// answered, the save question is cancelled, the progress dialogs shown are counted.
class NavigationSwitchTest : public ::testing::Test, public QObject
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
        Model::setNavigationControllerFactory([this](Model& model) {
            controller = std::make_shared<RecordingController>(&model, Vexa::Matrix44<double>());
            return controller;
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
        if (event->type() == QEvent::Show && qobject_cast<AlgorithmProgressDialog*>(object))
            ++progressShown;
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

QString page(const char* stack)
{
    return named(stack)->currentWidget()->objectName();
}

// The shown view frames by their views' names; "+Control" when the control view is shown.
QStringList shownFrames(const MainWindow& window)
{
    QStringList names;
    for (auto* frame : window.getMainWidget()->findChildren<ViewFrame*>())
        if (frame->isVisibleTo(window.getMainWidget()) && frame->getView())
            names << frame->getView()->objectName();
    if (window.getMainWidget()->findChild<QWidget*>("ControlView")->isVisibleTo(window.getMainWidget()))
        names << "+Control";
    names.sort();
    return names;
}

bool isDefault(const Vexa::TrackerData& sample)
{
    return !sample.isVisible() && Vexa::isEqual(sample.getTransform(), Vexa::Matrix44<double>(), 1e-12);
}

}

TEST_F(NavigationSwitchTest, SimulatedCamerasSwitchTickAndFail)
{
    const QString simulator = MORVANTA_SOURCE_DIR "/tests/navigation/sim/polaris_sim.py";
    enum Camera { Good, Silent, Garbled };
    const char* all = "3D Axial Cross-sectional Panoramic Target"; // the views a treatment shows
    const struct
    {
        const char* name;
        int mode; // 1 Surgical, 2 Light
        QStringList options; // of the simulator; none: no camera on the port
        Camera camera;
        bool changed; // unsaved changes: the save question, cancelled
        int throwAt;
        const char* frames; // shown while navigating; empty: the switch springs back
        const char* message;
    } table[] = {
        {"surgical", 1, {}, Good, false, 0, all, ""},
        {"light", 2, {}, Good, false, 0, "3D", ""},
        {"silent", 1, {"--silence-after", "600"}, Silent, false, 0, all, ""},
        {"garbled", 1, {"--fault", "crc,short,glued", "--fault-every", "1"}, Garbled, false, 0, all, ""},
        {"throwing tick", 1, {}, Good, false, 5, all, "The tick failed."},
        {"no camera", 1, {"none"}, Good, false, 0, "", "Error initializing navigation camera."},
        {"start fails", 1, {"--no-answer", "TSTART"}, Good, false, 0, "", "Polaris::startReporting()"},
        {"save cancelled", 1, {}, Good, true, 0, "", ""},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TestSupport::ScratchDir dir;
        QFile trajectory(dir.qpath() + "/trajectory.txt"); // handpiece at x 10, locator at x -20, both facing the camera
        ASSERT_TRUE(trajectory.open(QIODevice::WriteOnly));
        trajectory.write("0 0 1 0 1 0 0 10 0 -1000 0.1\n0 1 1 0 1 0 0 -20 0 -1000 0.2\n");
        trajectory.close();
        std::unique_ptr<PtySimulator> camera;
        if (row.options != QStringList{"none"})
            camera = std::make_unique<PtySimulator>(simulator, QStringList{"--trajectory", trajectory.fileName()} + row.options);
        AppTest::AppFolder home(QString("Mode=%1\nSerialPort=%2\n")
                                    .arg(row.mode)
                                    .arg(camera ? QString::fromStdString(camera->device) : "/nonexistent/tty"));
        MainWindow window(nullptr, Constants::NormalMode);
        ASSERT_TRUE(controller);
        if (row.changed)
            window.getModel()->setJaw(Constants::Maxilla);
        controller->throwAt = row.throwAt;
        const QStringList planningFrames = shownFrames(window);
        auto* button = window.findChild<QToolButton*>("NavigationButton");
        messages.clear();
        progressShown = 0;
        button->setChecked(true);

        const bool on = *row.frames != 0;
        EXPECT_EQ(progressShown, row.changed ? 0 : 1) << "the camera search runs under the progress dialog";
        ASSERT_EQ(window.isNavigating(), on);
        ASSERT_EQ(button->isChecked(), on);
        if (on) {
            EXPECT_EQ(window.getModel()->getState(), Model::Navigation);
            EXPECT_EQ(page("ButtonWidgetStack"), "NavigationButtonView");
            EXPECT_EQ(page("MiniDisplay WidgetStack"), "NavigationAdjustView");
            EXPECT_EQ(shownFrames(window).join(' ').toStdString(), row.frames);
            // The ticks: always one sample per used tracker, in their order; defaults while the camera does not run.
            const auto sees = [&](const QString& text) {
                return named<StatusBarView>("StatusBarView")->stateLabel()->text().contains(text);
            };
            // 1.5 s of ticks; a silent camera is given up after a second without replies.
            const std::size_t wanted = row.throwAt ? row.throwAt : row.camera == Good ? 30 : 60;
            EXPECT_TRUE(AppTest::waitFor([&] { return controller->ticks().size() >= wanted; }, 10000));
            if (row.camera == Good && !row.throwAt)
                EXPECT_TRUE(sees("Patient RMS: 0.20 Tool RMS: 0.10"));
            const auto ticks = controller->ticks();
            int visible = 0;
            for (const auto& samples : ticks) {
                ASSERT_EQ(samples.size(), 2u);
                for (int tool : {0, 1}) {
                    if (!samples[tool].isVisible()) {
                        EXPECT_TRUE(isDefault(samples[tool]));
                        continue;
                    }
                    ++visible;
                    EXPECT_NEAR(samples[tool].getTransform()[12], tool == 0 ? 10.0 : -20.0, 0.02);
                }
            }
            if (row.camera != Good) {
                // The drill never stays valid on a camera that says nothing.
                EXPECT_EQ(visible > 0, row.camera == Silent);
                EXPECT_TRUE(isDefault(ticks.back()[0]) && isDefault(ticks.back()[1]));
                EXPECT_FALSE(window.getModel()->isHandpieceTrackerValid());
                EXPECT_TRUE(sees("Tool RMS: n.a."));
                auto* pages = named<NavigationAdjustView>("NavigationAdjustView");
                EXPECT_TRUE(AppTest::waitFor([&] { return pages->currentWidget() == pages->messagePage(); }, 2000));
                EXPECT_EQ(pages->messagePage()->message(), "Navigation camera\nis not responding!");
            }
            if (row.throwAt) {
                EXPECT_TRUE(AppTest::waitFor([&] { return !window.isNavigating(); }, 3000)) << "the tick's failure switches off";
            }
            button->setChecked(false);
        }
        EXPECT_TRUE(messages.contains(row.message)) << messages.toStdString();
        EXPECT_FALSE(window.isNavigating() || button->isChecked() || controller->isNavigationEnabled());
        EXPECT_NE(window.getModel()->getState(), Model::Navigation);
        EXPECT_EQ(page("ButtonWidgetStack"), "PlanningButtonView");
        EXPECT_EQ(page("MiniDisplay WidgetStack"), "Logo");
        EXPECT_EQ(shownFrames(window), planningFrames);
        window.close();
        controller.reset();
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
