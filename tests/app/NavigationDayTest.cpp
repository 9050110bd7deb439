// A navigation day through the real main window: the sample patient planned with two
// implants and saved, reloaded, navigation switched on with a replayed camera that adjusts,
// registers and drills both implants; the pages follow in turn, the Target frame shows the
// final offset, and switching off stores a treatment log that tells the drilling.
#include "AppTestSupport.h"
#include "navday/NavigationDay.h"
#include "../navdisplays/DisplayTestSupport.h"

#include "navigation/NavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "views/navigation/AdjustWorkspaceView.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/RegistrationView.h"
#include "views/navigation/TargetingView.h"
#include "vexa/algorithm/PointMatching.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"

#include <QElapsedTimer>
#include <QImage>
#include <QFileInfo>
#include <QRadioButton>
#include <QStackedWidget>
#include <QToolButton>
#include <cmath>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

using AppTest::clickButton;
using AppTest::waitFor;
using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

// Import, curve, 3D model with its markers, two implants from the database, then OK -> the
// lower jaw and "Save as new". Returns the planning file.
QString planTwoImplants(AppTest::DialogAnswerer& answer)
{
    MainWindow window(nullptr, Constants::NormalMode);
    const auto model = window.getModel();
    answer.then(clickButton("LoadDialog", "Start new planning"));
    answer.then(AppTest::openFirstStudy);
    window.findChild<QToolButton*>("PatientButton")->click();
    QWidget* axial = window.getMainWidget()->frame("RightLowerFrame")->getView();
    for (const QPointF& corner : AppTest::archCurve)
        AppTest::clickAt(axial, corner);
    window.findChild<QToolButton*>("Generate 3DButton")->click();
    if (!waitFor([&] { return model->get3DModel() != nullptr; }))
        return {};
    for (const QPointF& at : {QPointF(0.4, 0.45), QPointF(0.6, 0.45)}) {
        window.findChild<QToolButton*>("ImplantButton")->click();
        answer.then(AppTest::chooseFirstImplant);
        AppTest::clickAt(axial, at);
    }
    answer.then([](QWidget* modal) {
        auto* lower = modal->findChild<QRadioButton*>(QString(), Qt::FindChildrenRecursively);
        for (auto* radio : modal->findChildren<QRadioButton*>())
            if (radio->text() == "Mandible")
                lower = radio;
        if (!lower)
            return false;
        lower->click();
        return clickButton("SaveDialog", "Save as new")(modal);
    });
    window.findChild<QToolButton*>("OKButton")->click();
    if (model->getImplantManager()->numberOfImplants() != 2 || !answer.done())
        return {};
    return QString::fromStdString(window.getSettings()->getPlanningFile());
}

// The planning's registration: reference marker geometry onto the detected markers.
Matrix44<double> patientTLocator(const Model& model)
{
    std::vector<Vector3D> markers;
    for (const auto& m : model.getMarkers())
        markers.push_back(m->getPosition());
    return Vexa::PointMatching::fitRigid(Vexa::getReferenceMarkerGeometry(), markers).transform;
}


// The sample patient planned with two implants and saved, a calibration of the lower jaw on
// record as the day before left it (once for the suite: the implant database is read once per
// process), the planning loaded into a window, and the day's trajectory "day.txt" for it.
class NavigationDayTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (QGuiApplication::platformName() == "offscreen")
            return;
        home = new AppTest::AppFolder;
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        std::ofstream calibration(NavigationController::calibrationFile(Constants::Mandible));
        calibration.precision(12);
        const Matrix44<double> c = NavigationScene::trueCalibration();
        for (int row = 0; row < 4; ++row)
            calibration << c[row] << ' ' << c[row + 4] << ' ' << c[row + 8] << ' ' << c[row + 12] << '\n';
        calibration.close();
        AppTest::DialogAnswerer answer;
        planning = planTwoImplants(answer);
        seen = answer.seen.join("\n");
        QFile ini(home->path("Morvanta.ini"));
        if (ini.open(QIODevice::ReadOnly))
            settings = ini.readAll();
    }
    static void TearDownTestSuite()
    {
        IPlanningUi::install(nullptr);
        delete home;
        home = nullptr;
    }
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
        ASSERT_FALSE(planning.isEmpty()) << seen.toStdString();
        // Each test is a day of its own: no logs yet, the settings as the planning left them.
        QFile ini(home->path("Morvanta.ini"));
        if (ini.open(QIODevice::WriteOnly))
            ini.write(settings);
        ini.close();
        for (const QFileInfo& folder : QDir(home->path("patients")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
            QDir(folder.filePath() + "/Log").removeRecursively();
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        ASSERT_TRUE(window->loadPlanning(planning.toStdString()));
        model = window->getModel();
        ASSERT_EQ(model->getJaw(), Constants::Mandible);
        implants = model->getImplantManager()->getImplants();
        ASSERT_EQ(implants.size(), 2u);
        day = {{implants[0]->getTransform(), implants[0]->getLength(), 3.45},
               {implants[1]->getTransform(), implants[1]->getLength(), 5.95}};
        std::ofstream trajectory(home->path("day.txt").toStdString());
        NavigationDay::write(trajectory, patientTLocator(*model), day, finalX, finalY);
        trajectory.close();
        if (const char* artifacts = std::getenv("MORVANTA_ARTIFACTS"))
            QFile::copy(home->path("day.txt"), QString::fromLocal8Bit(artifacts) + "/navigation-day.txt");
    }
    void TearDown() override { qunsetenv("MORVANTA_REPLAY"); }
    // The one treatment log of the day ("" when there is not exactly one); it moves with the
    // planning when that is saved as new. The study copy is not counted.
    QString storedLogFile() const
    {
        QStringList logs;
        for (const QFileInfo& folder : QDir(home->path("patients")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (folder.fileName() != "MorvantaStudyDummy")
                for (const QString& log : QDir(folder.filePath() + "/Log").entryList({"*.log"}, QDir::Files))
                    logs << folder.filePath() + "/Log/" + log;
        EXPECT_EQ(logs.size(), 1) << logs.join(" ").toStdString();
        return logs.size() == 1 ? logs.front() : QString();
    }
    NavigationDay::Log storedLog() const { return NavigationDay::read(storedLogFile()); }

    // A person's session, recorded by the program into "session.tpw": load the planning, switch
    // navigation on, watch the day for 40 s, switch it off, close.
    void recordSession(const QString& display, const QProcessEnvironment& replay)
    {
        QProcess program;
        const QString main = AppTest::startProgram(program, display, home->path(),
                                                   {"-test", "-record", "-script", "session.tpw"}, replay);
        ASSERT_FALSE(main.isEmpty());
        using AppTest::inWindow;
        AppTest::openFirstEntry(true); // Patient, "Reload planning", its only row (the list fills as it shows)
        const QString journal = QFileInfo(planning).absolutePath() + "/Log";
        auto navigating = [&] { return !QDir(journal).entryList({"*.journal"}, QDir::Files).isEmpty(); };
        waitFor([] { return false; }, 8000); // the planning loads
        inWindow("^Morvanta$", {"mousemove", "--window", "%1", "884", "36", "click", "1"}); // Navigation
        ASSERT_TRUE(waitFor(navigating, 10000)) << "navigation did not start";
        waitFor([] { return false; }, 40000);
        inWindow("^Morvanta$", {"mousemove", "--window", "%1", "884", "36", "click", "1"});
        ASSERT_TRUE(waitFor([&] { return !navigating(); }, 10000)) << "navigation did not stop";
        inWindow("^Morvanta$", {"windowfocus", "--sync", "%1", "key", "ctrl+w"});
        // A question to save, if any, is answered with its default button.
        const QString question = AppTest::waitForWindow(display, "^Save patient$", 3000, &program);
        if (!question.isEmpty())
            AppTest::xdotool(display, {"windowfocus", "--sync", question, "key", "space"});
        ASSERT_TRUE(program.waitForFinished(60000));
        EXPECT_EQ(program.exitCode(), 0);
    }
    // Every section in order; each implant drilled to its depth, its rows on the half-millimetre
    // grid within the implant, each row's depth in its half millimetre. How many rows there are is
    // not the program's to keep: the camera replays in real time, and a row comes only where a tick
    // saw the drill in its half millimetre (a quarter second of the descent); a machine that stops
    // the program for seconds while the drill goes down logs fewer of them.
    void expectDrilled(const NavigationDay::Log& log) const
    {
        EXPECT_EQ(log.sections.join(" | ").toStdString(),
                  "ACTION: START TREATMENT | ACTION: PATIENT | ACTION: FILE | NUMBER OF IMPLANTS | PLANNED POSITION | "
                  "ACTION: NO CALIBRATION | ACTION: REGISTERED | PROTOCOL SLICES | MEASURED POSITION | "
                  "ACTION: IMPLANT 1  TYPE | ACTION: IMPLANT 2  TYPE | Following data is an INTERNAL FORMAT");
        for (int k = 0; k < 2; ++k) {
            ASSERT_TRUE(log.deepest.count(k + 1) && log.table.count(k + 1)) << k;
            EXPECT_NEAR(log.deepest.at(k + 1), day[k].depth, 0.1) << k;
            for (const auto& [key, depth] : log.table.at(k + 1)) {
                EXPECT_EQ(key * 2, std::floor(key * 2)) << k << ": " << key;
                EXPECT_LE(key, day[k].length) << k;
                EXPECT_TRUE(depth >= key && depth <= key + 0.5) << k << ": " << key << " " << depth;
            }
        }
    }

    static constexpr double finalX = 0.7, finalY = -0.5;
    static inline AppTest::AppFolder* home = nullptr;
    static inline QString planning, seen;
    static inline QByteArray settings;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<Model> model;
    std::vector<std::shared_ptr<Implant>> implants;
    std::vector<NavigationDay::Drilling> day;
};

}

TEST_F(NavigationDayTest, AdjustRegisterDrillTwoImplantsAndStoreTheLog)
{
    qputenv("MORVANTA_REPLAY", home->path("day.txt").toUtf8());
    auto* navigation = window->findChild<QToolButton*>("NavigationButton");
    ASSERT_TRUE(navigation->isEnabled());
    navigation->click();
    ASSERT_TRUE(window->isNavigating());

    // The pages in turn, then the last implant at its final offset.
    NavigationAdjustView* target = nullptr;
    ASSERT_TRUE(waitFor([&] {
        // No meta-object of its own: qobject_cast would take any page stack.
        for (auto* stack : window->findChildren<QStackedWidget*>())
            if (auto* view = dynamic_cast<NavigationAdjustView*>(stack); view && view->isVisible())
                target = view;
        return target != nullptr;
    }, 5000));
    std::vector<QWidget*> pages;
    const Vector3D finalTip = (implants[1]->getTransform() * Matrix44<double>(Vector3D(finalX, finalY, day[1].depth - 1.0))).getTranslation();
    const bool arrived = waitFor([&] {
        if (pages.empty() || pages.back() != target->currentWidget())
            pages.push_back(target->currentWidget());
        return model->getNearestImplantToDrill() == implants[1]
               && (model->getPatientTDrill().getTranslation() - finalTip).length() < 0.01;
    }, 90000);
    QApplication::processEvents();
    QTest::qWait(300); // the pages refresh 15 times a second
    const QImage frame = DisplayTest::grab(*target);
    DisplayTest::save(frame, "navigation-day-target");
    DisplayTest::save(window->grab().toImage(), "navigation-day-window");
    ASSERT_TRUE(arrived) << pages.size();
    // Until the camera's first samples the stack says the camera does not answer.
    if (!pages.empty() && pages.front() == target->messagePage())
        pages.erase(pages.begin());
    // Targeting shows between the adjustment and the drill reaching point A; but where the
    // adjustment's hold, which starts at the camera's first good sample, ended only after the
    // replayed drill came to rest at point A (the camera started late on a loaded machine), the
    // registration follows the adjustment at once, as it should. Nothing else, in this order.
    QWidget *adjust = target->adjustPage(), *targeting = target->targetingPage(),
            *registration = target->registrationPage();
    const std::vector<QWidget*> inTime = {adjust, targeting, registration, targeting},
                                lateStart = {adjust, registration, targeting};
    QStringList shown;
    for (const QWidget* page : pages)
        shown << (page == adjust ? "adjustment" : page == targeting ? "targeting" : page == registration ? "registration"
                                                                                                        : "another page");
    EXPECT_TRUE(pages == inTime || pages == lateStart) << shown.join(", ").toStdString();
    EXPECT_NEAR(model->getDrillLength(), NavigationDay::drillLength, 0.01);

    // The position dot where the implant's axis crosses the drill tip's plane (x runs down,
    // 0.2 units per mm); the axis parallel to the drill puts the excursion disc at the centre;
    // the target disc green around them. Probes 4 to 8 px off the cross lines.
    const int w = frame.width(), h = frame.height(), m = std::min(w, h);
    const double cx = 0.558 * w, cy = 0.517 * h, unit = 0.3 * m;
    const QPoint dot(int(cx + unit * 0.2 * -finalY), int(cy + unit * 0.2 * -finalX));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(dot + QPoint(4, 4)), Qt::blue));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(int(cx) - 8, int(cy) + 8), QColor(78, 140, 4)));
    EXPECT_TRUE(DisplayTest::near(frame.pixelColor(int(cx - 0.5 * unit), int(cy + 0.5 * unit)), Qt::green));
    EXPECT_FALSE(DisplayTest::near(frame.pixelColor(int(cx) - 4, int(cy - 0.6 * unit)), Qt::blue)) << "one dot only";

    navigation->click();
    EXPECT_FALSE(window->isNavigating());
    model->waitForTreatmentLog();
    expectDrilled(storedLog());
}

// A still scene in the program window, navigation switched on four times: at every switch-on
// "Please Adjust Camera" holds for its 2 s before the pages go on, and the still drill registers.
TEST_F(NavigationDayTest, EverySwitchOnHoldsTheAdjustmentAndAStillDrillRegisters)
{
    auto* navigation = window->findChild<QToolButton*>("NavigationButton");
    NavigationScene::writeStillScene(home->path("still.txt").toStdString());
    qputenv("MORVANTA_REPLAY", home->path("still.txt").toUtf8());
    for (int cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        model->invalidateDrillRegistration();
        QElapsedTimer switchedOn;
        switchedOn.start();
        navigation->click();
        ASSERT_TRUE(window->isNavigating());
        NavigationAdjustView* target = nullptr;
        for (auto* stack : window->findChildren<QStackedWidget*>())
            if (auto* view = dynamic_cast<NavigationAdjustView*>(stack); view && view->isVisible())
                target = view;
        ASSERT_TRUE(target);
        ASSERT_TRUE(waitFor([&] { return target->currentWidget() == target->adjustPage(); }, 10000));
        ASSERT_TRUE(waitFor([&] { return target->currentWidget() != target->adjustPage(); }, 10000));
        EXPECT_GT(switchedOn.elapsed(), 2000) << "the adjustment hold was skipped";
        // Targeting, or already the drill's registration: on a loaded machine the hold may end
        // after the replayed drill came to rest at point A (3 s into the scene). Never a message.
        EXPECT_NE(target->currentWidget(), target->messagePage());
        EXPECT_TRUE(target->currentWidget() == target->targetingPage() ||
                    target->currentWidget() == target->registrationPage());
        ASSERT_TRUE(waitFor([&] { return model->isDrillRegistered(); }, 10000));
        EXPECT_NEAR(model->getDrillLength(), 25.0, 0.1);
        if (cycle == 0)
            DisplayTest::save(window->grab().toImage(), "still-scene-registered-window");
        navigation->click();
        ASSERT_FALSE(window->isNavigating());
    }
}

namespace {

// The program's window as the screen shows it (null when it cannot be read).
QImage windowShot(const QString& display, const QString& window)
{
    return QImage::fromData(AppTest::runOnDisplay(display, "import", {"-window", window, "ppm:-"}), "PPM");
}

// The first and last rows of the notice strip of a journal that waits: rows where its colour
// runs across much of a view's width (between lines of its text); (-1, -1) where there is none.
std::pair<int, int> noticeRows(const QImage& shot)
{
    int top = -1, bottom = -1;
    for (int y = 0; y < shot.height(); ++y) {
        int run = 0, longest = 0;
        for (int x = 0; x < shot.width(); ++x) {
            run = shot.pixelColor(x, y) == QColor(170, 0, 0) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        if (longest >= 150) {
            if (top < 0)
                top = y;
            bottom = y;
        }
    }
    return {top, bottom};
}

}

// The planning's folder on a file server stops answering while the drill works in an implant
// (its calls held, writes into open files among them): the display goes on drawing the drill,
// with a strip over it that names the folder; SIGTERM ends the program within 10 s, and the
// treatment log, with every section and the rows drilled, lies beside the program.
TEST_F(NavigationDayTest, AFolderThatStopsAnsweringMidDrillingHoldsNeitherTheDisplayNorTheEnd)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    window.reset();
    QDir(home->path("Log")).removeRecursively();
    const QString logs = QFileInfo(planning).absolutePath() + "/Log";
    QProcessEnvironment environment;
    environment.insert("MORVANTA_REPLAY", home->path("day.txt"));
    environment.insert("LD_PRELOAD", SLOW_FOLDERS);
    environment.insert("MORVANTA_STUCK_BELOW", QFileInfo(QFileInfo(planning).absolutePath()).canonicalFilePath());
    environment.insert("MORVANTA_STUCK_WHEN", home->path("server-down"));
    environment.insert("MORVANTA_STUCK_HELD", home->path("call-held"));
#if defined(__SANITIZE_ADDRESS__)
    // The shim comes before the sanitizer's runtime among the preloaded libraries.
    environment.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
#endif
    // The next test's day finds the server up and no log of this one beside the program.
    const std::shared_ptr<void> serverBack(nullptr, [](void*) {
        QFile::remove(home->path("server-down"));
        QFile::remove(home->path("call-held"));
        QDir(home->path("Log")).removeRecursively();
    });
    QProcess program;
    const QString main = AppTest::startProgram(program, display, home->path(), {}, environment);
    ASSERT_FALSE(main.isEmpty());
    AppTest::openFirstEntry(true); // Patient, "Reload planning", its only row
    const auto journalIn = [](const QString& folder) { return !QDir(folder).entryList({"*.journal"}, QDir::Files).isEmpty(); };
    // Navigation on once the planning is in (the button does nothing before): its journal begins
    // beside the program at once.
    ASSERT_TRUE(waitFor([&] {
        AppTest::inWindow("^Morvanta$", {"mousemove", "--window", "%1", "884", "36", "click", "1"});
        return waitFor([&] { return journalIn(home->path("Log")) || journalIn(logs); }, 5000);
    }, 120000)) << "navigation did not start";
    // The drill in an implant: its samples in the journal in the planning's folder.
    const auto journaled = [&] {
        const QStringList names = QDir(logs).entryList({"*.journal"}, QDir::Files);
        if (names.isEmpty())
            return QString();
        QFile file(logs + "/" + names.front());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    ASSERT_TRUE(waitFor([&] { return journaled().contains("SAMPLE "); }, 120000)) << "no sample journaled";

    QFile(home->path("server-down")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(home->path("call-held")); }, 60000)) << "no call held";
    // The strip shows, across the view, while the view below it goes on changing.
    QImage shot;
    std::pair<int, int> strip{-1, -1};
    ASSERT_TRUE(waitFor([&] {
        shot = windowShot(display, main);
        strip = noticeRows(shot);
        return strip.first >= 0;
    }, 60000)) << "no notice";
    DisplayTest::save(shot, "folder-stops-answering-window");
    EXPECT_GE(strip.second - strip.first, 20) << "a strip of text, not a line";
    const auto above = [&](const QImage& image) { return image.copy(0, 0, image.width(), strip.first); };
    const QImage before = above(shot);
    EXPECT_TRUE(waitFor([&] {
        const QImage now = windowShot(display, main);
        return !now.isNull() && noticeRows(now) == strip && above(now) != before;
    }, 60000)) << "the display stands still";
    const QString stalled = journaled();

    QElapsedTimer clock;
    clock.start();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000));
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_LT(clock.elapsed(), 10000) << errors.toStdString();
    EXPECT_EQ(program.exitCode(), 128 + SIGTERM) << errors.toStdString();
    EXPECT_TRUE(errors.contains("It is kept beside the program, in " + home->path("Log/"))) << errors.toStdString();

    const QStringList kept = QDir(home->path("Log")).entryList({"*.log"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1) << kept.join(' ').toStdString();
    const auto log = NavigationDay::read(home->path("Log/" + kept.front()));
    EXPECT_TRUE(log.sections.join(" | ").startsWith("ACTION: START TREATMENT | ACTION: PATIENT | ACTION: FILE | "
                                                    "NUMBER OF IMPLANTS | PLANNED POSITION"))
        << log.sections.join(" | ").toStdString();
    EXPECT_TRUE(log.sections.contains("Following data is an INTERNAL FORMAT")) << log.sections.join(" | ").toStdString();
    EXPECT_FALSE(log.table.count(1) ? log.table.at(1).empty() : true) << "the rows drilled";
    EXPECT_TRUE(QDir(logs).entryList({"*.log"}, QDir::Files).isEmpty()) << "no log where nothing answers";
    EXPECT_TRUE(stalled.contains("SAMPLE ")) << "the journal keeps what it took";
}

// The same session through the program: the kept script (recorded through X input by
// recordSession when MORVANTA_RECORD_NAVIGATION_DAY is set, which also keeps the trajectory and
// the recorded run's log) replays in a fresh process in test mode over the kept trajectory, and its log
// tells what the recorded run's log told, as far as the program saw the camera's real time (see
// expectDrilled). The trajectory ends resting for a minute, so the
// log does not depend on when the script's switch-off comes within that minute. In the kept
// script the recording's 8 s wait for the planning to load is cut to 0.4 s by hand: the replayed
// press on Navigation waits until the window takes input. The 40 s before the switch-off stay:
// the replayed camera drills meanwhile.
TEST_F(NavigationDayTest, RecordedSessionReplaysInAFreshProcess)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    window.reset();
    const QString kept = QStringLiteral(MORVANTA_SOURCE_DIR "/tests/app/navday/");
    const bool recording = qEnvironmentVariableIsSet("MORVANTA_RECORD_NAVIGATION_DAY");
    if (recording) {
        QFile::remove(kept + "trajectory.txt");
        ASSERT_TRUE(QFile::copy(home->path("day.txt"), kept + "trajectory.txt"));
    }
    QFile trajectory(home->path("day.txt")), keptTrajectory(kept + "trajectory.txt");
    ASSERT_TRUE(trajectory.open(QIODevice::ReadOnly) && keptTrajectory.open(QIODevice::ReadOnly));
    ASSERT_EQ(trajectory.readAll(), keptTrajectory.readAll()) << "the kept trajectory belongs to another planning";
    QProcessEnvironment replay;
    replay.insert("MORVANTA_REPLAY", keptTrajectory.fileName());
    if (recording) {
        recordSession(display, replay);
        QFile::remove(kept + "session.tpw");
        QFile::remove(kept + "recorded.log");
        ASSERT_TRUE(QFile::copy(home->path("session.tpw"), kept + "session.tpw"));
        ASSERT_TRUE(QFile::copy(storedLogFile(), kept + "recorded.log"));
        QFile::remove(storedLogFile());
    }
    QFile::copy(kept + "session.tpw", home->path("session.tpw"));
    QProcess program;
    AppTest::startProgram(program, display, home->path(), {"-test", "-playback", "-noconfig", "-script", "session.tpw"},
                          replay);
    ASSERT_TRUE(program.waitForFinished(300000)) << "no end";
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    const auto replayed = storedLog(), recorded = NavigationDay::read(kept + "recorded.log");
    expectDrilled(replayed);
    EXPECT_EQ(replayed.sections.join(" | ").toStdString(), recorded.sections.join(" | ").toStdString());
    for (const auto& [implant, depth] : recorded.deepest) {
        ASSERT_TRUE(replayed.deepest.count(implant)) << implant;
        EXPECT_NEAR(replayed.deepest.at(implant), depth, 0.1) << implant;
    }
    // The drilled implants, each row under a half millimetre the recorded run logged. The recording
    // logged every half millimetre; the replay may log fewer (see expectDrilled), never others. (A
    // row after the program was stopped averages the window's samples from before and after.)
    EXPECT_EQ(replayed.table.size(), recorded.table.size());
    for (const auto& [implant, rows] : replayed.table)
        for (const auto& [key, depth] : rows)
            EXPECT_TRUE(recorded.table.count(implant) && recorded.table.at(implant).count(key)) << implant << ": " << key;
}

