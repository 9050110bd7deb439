// The real program navigating a saved planning with a simulated Polaris, ended by Ctrl+W from
// the X server: navigation goes off before the save question, the treatment log lies in the
// planning's "Log" folder and the program ends with 0. A planning changed before switching on is
// saved at the question, and the navigation session after it is recorded.
#include "AppTestSupport.h"
#include "SimulatedPolaris.h"
#include "common/OnDisk.h"

#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "shell/main/MainWindow.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"

#include <QRegularExpression>
#include <functional>
#include <QStatusBar>
#include <QToolButton>
#include <csignal>
#include <sys/stat.h>
#include <gtest/gtest.h>

namespace {

using AppTest::reloadTheOnlyPlanning;
using AppTest::windowNamed;
using AppTest::xdotool;

// A planning ready for navigation: the sample patient with six markers and the jaw, saved by a
// window on a screen of the program's size; `look` sees that window before it goes, for where the
// program puts what a test presses. The planning file.
QString saveReadyPlanning(const AppTest::AppFolder& home, const std::function<void(MainWindow&)>& look)
{
    MainWindow window(nullptr, Constants::NormalMode);
    EXPECT_TRUE(AppTest::layOutAsTheProgram(window));
    std::vector<std::string> files;
    for (const QString& name : QDir(home.path("SamplePatient")).entryList({"*.dcm"}, QDir::Files))
        files.push_back(home.path("SamplePatient/" + name).toStdString());
    const auto model = window.getModel();
    if (!window.importVolumeData(files))
        return {};
    for (int i = 0; i < 6; ++i)
        model->addMarker(Marker::create(Vexa::Vector3D(10.0 * i, 20.0, 30.0)));
    model->setMarkerDetected(true);
    model->setJaw(Constants::Mandible);
    if (!window.savePlanning(false) || !model->isReadyForNavigation())
        return {};
    look(window);
    return QString::fromStdString(window.getSettings()->getPlanningFile());
}

// A simulated Polaris on the "SerialPort" of a program folder of the test's own, and the X
// server the program runs on.
class NavigationProgramTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
        ASSERT_TRUE(x.running());
    }
    // The program started on a saved planning (on a file server where `fileServer`), navigating
    // with its journal in the planning's folder; its main window, empty when it did not get there.
    QString navigating(QProcess& program, QString& planning, bool fileServer = false)
    {
        // Where the program's window puts the navigation button.
        QPoint navigation;
        planning = saveReadyPlanning(home, [&](MainWindow& window) {
            const auto* button = window.findChild<QToolButton*>("NavigationButton");
            navigation = button->mapTo(&window, button->rect().center());
        });
        if (planning.isEmpty())
            return {};
        const QString main = AppTest::startProgram(program, x.display(), home.path(), {},
                                                   TestSupport::onDisk(fileServer, home.path(), {}));
        if (main.isEmpty() || !reloadTheOnlyPlanning(x.display()))
            return {};
        // The button is enabled once the planning has loaded: pressed until the camera hears of it.
        const QStringList click = {"mousemove", "--window", main, QString::number(navigation.x()),
                                   QString::number(navigation.y()), "click", "1"};
        if (!AppTest::waitFor([&] {
                xdotool(x.display(), click);
                return AppTest::waitFor([&] { return !camera.log("command ").empty(); }, 3000);
            }, 60000) ||
            !AppTest::waitFor([&] { return camera.log("poll ").size() > 20; }, 30000))
            return {};
        // The journal begins beside the program and moves into the planning's folder at once.
        if (!AppTest::waitFor(
                [&] { return QDir(QFileInfo(planning).absolutePath() + "/Log").entryList({"*.journal"}, QDir::Files).size() == 1; },
                30000))
            return {};
        return main;
    }
    TestSupport::PrivateXServer& x = AppTest::xServer();
    SimulatedPolaris polaris;
    PtySimulator& camera = *polaris.sim;
    AppTest::AppFolder home{"SerialPort=" + QString::fromStdString(camera.device) + "\n"};
};

// The treatment log stored as navigation ends, on a local disk and on a file server.
class NavigationProgramOn : public NavigationProgramTest, public testing::WithParamInterface<bool>
{
};
INSTANTIATE_TEST_SUITE_P(Disks, NavigationProgramOn, testing::Bool(), TestSupport::diskOf<testing::TestParamInfo<bool>>);

}

TEST_P(NavigationProgramOn, CtrlWWhileNavigatingStoresTheTreatmentLogAndEndsWithZero)
{
    QProcess program;
    QString planning;
    const QString main = navigating(program, planning, GetParam());
    ASSERT_FALSE(main.isEmpty());

    xdotool(x.display(), {"windowfocus", "--sync", main});
    xdotool(x.display(), {"key", "ctrl+w"});
    // The save question comes after the camera stopped: "Quit without save" (the fourth button
    // of the row at (30, 75)).
    const QString question = windowNamed(x.display(), "Save patient");
    ASSERT_FALSE(question.isEmpty());
    const auto commands = camera.log("command ");
    EXPECT_TRUE(!commands.empty() && commands.back().rfind("TSTOP", 0) == 0);
    xdotool(x.display(), {"mousemove", "--window", question, "468", "106", "click", "1"});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const QStringList logs = QDir(QFileInfo(planning).absolutePath() + "/Log").entryList(QDir::Files);
    EXPECT_EQ(logs.size(), 1) << logs.join(' ').toStdString();
    EXPECT_FALSE(logs.join(' ').contains(".journal")) << "the journal goes once the log is stored";
}

TEST_F(NavigationProgramTest, TheSaveQuestionAtSwitchOnLeavesTheSessionRecorded)
{

    // Where the program puts what the test presses.
    QPoint navigation, panoramic, statusBar;
    QList<QPoint> corners;
    ASSERT_FALSE(saveReadyPlanning(home, [&](MainWindow& window) {
        const auto at = [&window](const QWidget* w, QPointF f) {
            return w->mapTo(&window, QPoint(int(f.x() * w->width()), int(f.y() * w->height())));
        };
        navigation = at(window.findChild<QToolButton*>("NavigationButton"), {0.5, 0.5});
        panoramic = at(window.findChild<QToolButton*>("PanoramicButton"), {0.5, 0.5});
        statusBar = at(window.statusBar(), {0.5, 0.5});
        const QWidget* axial = window.getMainWidget()->frame("RightLowerFrame")->getView();
        for (const QPointF f : {QPointF(0.3, 0.6), QPointF(0.7, 0.6)})
            corners << at(axial, f);
    }).isEmpty());

    QProcess program;
    const QString main = AppTest::startProgram(program, x.display(), home.path());
    ASSERT_FALSE(main.isEmpty());
    const auto click = [&](QPoint p, const QString& window) {
        xdotool(x.display(), {"mousemove", "--window", window, QString::number(p.x()), QString::number(p.y()), "click", "1"});
    };
    ASSERT_TRUE(reloadTheOnlyPlanning(x.display()));
    // The reloaded planning is in once its recording has begun; then a change: a curve of two
    // corners.
    const QString system = home.path("patients/MorvantaStudyDummy/System");
    ASSERT_TRUE(AppTest::waitFor([&] { return !QDir(system).entryList({"*.log"}, QDir::Files).isEmpty(); }, 60000))
        << "the recording of the reloaded planning";
    // A log is named by the time it began, its milliseconds without leading zeros: of two logs
    // begun within one second the newer can sort first. Logs begun later are those not here now.
    const QStringList reloaded = QDir(system).entryList({"*.log"}, QDir::Files);
    const auto begunSince = [&] {
        QStringList logs = QDir(system).entryList({"*.log"}, QDir::Files);
        for (const QString& log : reloaded)
            logs.removeAll(log);
        return logs;
    };
    click(panoramic, main);
    for (const QPoint& corner : corners)
        click(corner, main);

    // Navigation on asks to save first: "Save as new" (the second button of the row at (30, 75)).
    QString question;
    ASSERT_TRUE(AppTest::waitFor([&] {
        click(navigation, main);
        question = AppTest::waitForWindow(x.display(), "^Save patient$", 3000);
        return !question.isEmpty();
    }, 60000)) << "the save question at switch-on";
    xdotool(x.display(), {"windowfocus", "--sync", question});
    click(QPoint(216, 106), question);
    ASSERT_TRUE(AppTest::waitFor([&] { return camera.log("poll ").size() > 20; }, 60000)) << "navigation runs";
    const QStringList begun = begunSince();
    ASSERT_EQ(begun.size(), 1) << "the save question begins one log: " << begun.join(' ').toStdString();

    // The session's input: a press on the status bar; then Ctrl+W and "Quit without save".
    click(statusBar, main);
    xdotool(x.display(), {"windowfocus", "--sync", main});
    xdotool(x.display(), {"key", "ctrl+w"});
    const QString quit = windowNamed(x.display(), "Save patient");
    ASSERT_FALSE(quit.isEmpty());
    click(QPoint(468, 106), quit);
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0);

    // The log begun at the save question holds what followed, deciphered as the README says.
    ASSERT_EQ(begunSince(), begun) << "the navigation session has one log";
    QProcess openssl;
    openssl.start("openssl", {"enc", "-d", "-aes-128-ecb", "-K", "4d6f7276616e74612d6c6f672d6b6579", "-in",
                              system + "/" + begun[0]});
    ASSERT_TRUE(openssl.waitForFinished(30000));
    EXPECT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    const QString session = QString::fromUtf8(openssl.readAllStandardOutput());
    EXPECT_TRUE(session.startsWith("<Events>") && session.trimmed().endsWith("</Events>")) << session.toStdString();
    EXPECT_TRUE(session.contains(QRegularExpression("<MousePress[^>]*name=\"/pName/[^\"]*StatusBar"))) << session.toStdString();
    EXPECT_TRUE(session.contains(QRegularExpression("<MousePress[^>]*name=\"/pName/SaveDialog"))) << session.toStdString();
}

// A shutdown while navigating (SIGTERM; Ctrl+C's SIGINT takes the same way) ends the program as
// quitting does: navigation off, the treatment log stored in the planning's folder; the status
// tells the signal.
TEST_P(NavigationProgramOn, SigtermWhileNavigatingStoresTheTreatmentLog)
{
    QProcess program;
    QString planning;
    ASSERT_FALSE(navigating(program, planning, GetParam()).isEmpty());
    // Where nothing is made without a name, the journal keeps the hidden one it was made under.
    const QString logs = QFileInfo(planning).absolutePath() + "/Log";
    struct stat journal{};
    ::stat((logs + "/" + QDir(logs).entryList({"*.journal"}, QDir::Files).value(0)).toUtf8().constData(), &journal);
    EXPECT_EQ(GetParam() ? 2u : 1u, journal.st_nlink) << "the rules of the file system";
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 128 + SIGTERM) << program.readAllStandardError().toStdString();
    const auto commands = camera.log("command ");
    EXPECT_TRUE(!commands.empty() && commands.back().rfind("TSTOP", 0) == 0);
    EXPECT_EQ(QDir(logs).entryList({"*.log"}, QDir::Files).size(), 1);
    EXPECT_TRUE(QDir(logs).entryList({"*.journal"}, QDir::Files).isEmpty()) << "the journal goes once the log is stored";
}
