// The settings file the build writes, moved into a program folder of the test's own: plannings go
// into a folder of their own, so after the sample is saved twice "Start new planning" still lists
// it once (every planning holds a copy of its series).
#include "AppTestSupport.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/saving/WorkMark.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "shell/main/MainWindow.h"
#include "vexa/mesh/MeshFactory.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QListWidget>
#include <QRegularExpression>
#include <QToolButton>
#include <QUuid>
#include <gtest/gtest.h>

namespace {

// Every file below the folder with its content's hash, relative to the folder.
QStringList snapshot(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        f.open(QIODevice::ReadOnly);
        files << QDir(folder).relativeFilePath(f.fileName()) + " " +
                     QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
    }
    files.sort();
    return files;
}

}

TEST(PlanningFolderTest, SavedPlanningsStayOutOfTheImportList)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    // The build's settings with the build's program folder replaced by the test's, over a copy of
    // the sample (the link into the build would take the saves wherever the settings send them).
    QFile built(AppTest::built + "/Morvanta.ini");
    ASSERT_TRUE(built.open(QIODevice::ReadOnly));
    const QString settings = QString::fromUtf8(built.readAll()).replace(AppTest::built, home.path());
    QFile ini(home.path("Morvanta.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(settings.toUtf8());
    ini.close();
    ASSERT_TRUE(QFile::remove(home.path("SamplePatient")));
    ASSERT_EQ(QProcess::execute("cp", {"-r", AppTest::built + "/SamplePatient", home.path("SamplePatient")}), 0);

    MainWindow window(nullptr, Constants::NormalMode);
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    ASSERT_TRUE(window.importVolumeData(files));
    ASSERT_TRUE(window.savePlanning(false));
    ASSERT_TRUE(window.savePlanning(false));
    const QString plannings = QString::fromStdString(window.getSettings()->getPatientPaths().at(0));
    EXPECT_EQ(QFileInfo(plannings).dir(), QDir(home.path())) << "beside the program";
    EXPECT_EQ(QDir(plannings).entryList({"20*"}, QDir::Dirs).size(), 2);

    // Patient -> "New planning without save" -> "Start new planning": the list of the import.
    AppTest::DialogAnswerer answer;
    QStringList rows;
    answer.then(AppTest::clickButton("SaveDialog", "New planningwithout save"));
    answer.then(AppTest::clickButton("LoadDialog", "Start new planning"));
    answer.then([&rows](QWidget* modal) {
        // The list is filled all at once when the scan is done.
        auto* list = modal->findChild<QTreeWidget*>("m_PatientTable");
        if (!modal->inherits("Vexa::DicomImportDialog") || list->topLevelItemCount() == 0)
            return false;
        rows = ShellTest::rowTexts(list, {1, 5});
        QTimer::singleShot(0, modal, [modal] { modal->findChild<QPushButton*>("m_buttonCancel")->click(); });
        return true;
    });
    window.findChild<QToolButton*>("PatientButton")->click();
    ASSERT_TRUE(answer.done()) << answer.seen.join(", ").toStdString();
    EXPECT_EQ(rows.join("\n").toStdString(), "Sample^Patient|" + std::to_string(files.size()));
}

namespace {

// A planning with two implants, saved by a window of the program's size, and the real program
// run on it in several instances, driven through X as a person would.
struct TwoInstances
{
    AppTest::AppFolder home;
    QString display = AppTest::xServer().display();
    QString patients = home.path("patients");
    const QString kept[2] = {"AV-CP-D40-L100.implant", "QM-L-D48-L100.implant"};
    // Where the two implant rows and the delete button are; a row's colour when not selected.
    QPoint rows[2], remove;
    QColor unselected;

    void savePlanning()
    {
        ASSERT_FALSE(display.isEmpty());
        MainWindow window(nullptr, Constants::NormalMode);
        ASSERT_TRUE(AppTest::layOutAsTheProgram(window));
        std::vector<std::string> files;
        for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
            files.push_back(f.absoluteFilePath().toStdString());
        ASSERT_TRUE(window.importVolumeData(files));
        const auto manager = window.getModel()->getImplantManager();
        const QString database = home.path("ImplantDatabase/");
        for (const QString& file : {"Altavis Dental/Conical Pro/" + kept[0], "Quillon Medical/Q-Line/" + kept[1]})
            manager->addImplant(Implant::createFromFile(
                Vexa::Matrix44<double>(Vexa::Vector3D(30 + manager->numberOfImplants() * 20, 36, 20)), 0,
                (database + file).toStdString()));
        // A 3D model of some 4.8 MB, as a planning has one: writing it takes a while.
        window.getModel()->set3DModel(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)),
                                                                Vexa::Vector3D(60, 50, 40), 400, 250));
        window.getModel()->notify();
        ASSERT_TRUE(window.savePlanning(false));
        auto* list = window.findChild<QListWidget*>("ImplantListBox");
        ASSERT_EQ(list->count(), 2);
        // Right of the row's text, where a selected row shows the selection's colour.
        for (int i = 0; i < 2; ++i) {
            const QRect row = list->visualItemRect(list->item(i));
            rows[i] = list->viewport()->mapTo(&window, QPoint(row.right() - 3, row.center().y()));
        }
        unselected = list->palette().color(QPalette::Base);
        const QWidget* button = window.findChild<QPushButton*>("DeleteButton");
        remove = button->mapTo(&window, button->rect().center());
    }

    int logs() const { return QDir(patients + "/MorvantaStudyDummy/System").entryList({"*.log"}, QDir::Files).size(); }
    // Both programs' windows fill the screen: the one clicked in is raised first, or the click
    // lands in whichever lies on top.
    void click(const QString& window, QPoint p) const
    {
        AppTest::xdotool(display, {"windowraise", window, "mousemove", "--window", window, QString::number(p.x()),
                                   QString::number(p.y()), "click", "1"});
    }
    QString shown(const QString& title) const
    {
        const QString window = AppTest::waitForWindow(display, "^" + title + "$");
        if (!window.isEmpty())
            AppTest::xdotool(display, {"windowfocus", "--sync", window});
        return window;
    }
    bool gone(const QString& title) const
    {
        return AppTest::waitFor([&] {
            return AppTest::xdotool(display, {"search", "--onlyvisible", "--name", "^" + title + "$"}).isEmpty();
        }, 30000);
    }
    // Starts an instance and reloads the planning in it; its main window ("" when it did not load).
    QString startAndLoad(QProcess& program) const
    {
        const int before = logs();
        const QString window = AppTest::startProgram(program, display, home.path());
        const bool loaded = !window.isEmpty() && AppTest::reloadTheOnlyPlanning(display) &&
                            AppTest::waitFor([&] { return logs() == before + 1; }, 60000);
        return loaded ? window : QString();
    }
    // Selects an implant row and deletes it ("Yes", two buttons before the focused "Cancel"). The
    // row is gone once the list shows no selection there (the implant after it is not selected):
    // a key sent while the question is still closing would be taken before the deletion.
    bool deleteImplant(const QString& window, int row) const
    {
        click(window, rows[row]);
        if (!AppTest::waitFor([&] { return AppTest::screenPixel(display, rows[row]) != unselected; }, 30000))
            return false;
        click(window, remove);
        if (shown("Attention").isEmpty())
            return false;
        AppTest::xdotool(display, {"key", "shift+Tab", "shift+Tab", "space"});
        return gone("Attention") &&
               AppTest::waitFor([&] { return AppTest::screenPixel(display, rows[row]) == unselected; }, 30000);
    }
    // Where the save question's "Overwrite" and "Save as new" are.
    static constexpr QPoint overwriteButton{90, 106}, saveAsNewButton{216, 106};
    // Ctrl+W, then the save question's "Overwrite" or "Save as new".
    bool quitSaving(const QString& window, bool overwrite) const
    {
        AppTest::xdotool(display, {"windowfocus", "--sync", window, "key", "ctrl+w"});
        const QString question = shown("Save patient");
        if (!question.isEmpty())
            click(question, overwrite ? overwriteButton : saveAsNewButton);
        return !question.isEmpty();
    }
};

}

// Two instances of the real program load one planning. B drops one implant and overwrites the
// planning (a folder of a new name; the one both loaded goes). A drops the other implant: its
// overwrite is refused with "Saving error" naming B's folder; saved as new, A's work is a planning
// of its own beside B's (its series from B's folder, the implant B dropped from the database), and
// A is told where B's is. No other folder is left.
TEST(PlanningFolderTest, TwoInstancesSavingOnePlanningKeepBothWorks)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    TwoInstances two;
    ASSERT_NO_FATAL_FAILURE(two.savePlanning());
    const QString& patients = two.patients;
    const QString& display = two.display;
    const QString* kept = two.kept;
    const auto folders = [&] { return QDir(patients).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden); };
    const QString loaded = QDir(patients).entryList({"20*"}, QDir::Dirs).value(0);
    {
        // As a planning saved before plannings kept the folder they began in: its own counts.
        QFile file(patients + "/" + loaded + "/" + loaded + ".srl");
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll()).remove(QRegularExpression("origin = [^\n]*\n"));
        file.close();
        ASSERT_FALSE(text.contains("origin"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
    }
    const auto screenshot = [&](const QString& name) {
        QProcess::execute("env", {"DISPLAY=" + display, "import", "-window", "root",
                                  MORVANTA_BINARY_DIR "/tests/app/" + name + ".png"});
    };

    QProcess a, b;
    const QString windowA = two.startAndLoad(a);
    ASSERT_FALSE(windowA.isEmpty()) << "A has loaded the planning";
    const QString windowB = two.startAndLoad(b);
    ASSERT_FALSE(windowB.isEmpty()) << "B has loaded the planning";

    // B: without the second implant, overwritten.
    ASSERT_TRUE(two.deleteImplant(windowB, 1));
    ASSERT_TRUE(two.quitSaving(windowB, true));
    ASSERT_TRUE(b.waitForFinished(60000));
    EXPECT_EQ(b.exitCode(), 0);
    const QStringList afterB = QDir(patients).entryList({"20*"}, QDir::Dirs);
    ASSERT_EQ(afterB.size(), 1);
    const QString replaced = afterB.front();
    ASSERT_NE(replaced, loaded);
    const QStringList savedByB = snapshot(patients + "/" + replaced);

    // A: without the first implant. Overwriting is refused, saving as new is not.
    ASSERT_TRUE(two.deleteImplant(windowA, 0));
    ASSERT_TRUE(two.quitSaving(windowA, true));
    ASSERT_FALSE(two.shown("Saving error").isEmpty());
    screenshot("two_instances_saving_error");
    AppTest::xdotool(display, {"key", "space"});
    ASSERT_TRUE(two.gone("Saving error"));
    ASSERT_TRUE(two.quitSaving(windowA, false));
    ASSERT_FALSE(two.shown("Saved as new planning").isEmpty());
    screenshot("two_instances_saved_as_new");
    AppTest::xdotool(display, {"key", "space"});
    ASSERT_TRUE(a.waitForFinished(60000));
    EXPECT_EQ(a.exitCode(), 0);
    const QString told = QString::fromLocal8Bit(a.readAllStandardError());
    EXPECT_TRUE(told.contains("Saving error: The planning was not saved.\nThe planning " + patients + "/" + loaded +
                              " was saved again meanwhile, by another instance of the program: it is now in " +
                              patients + "/" + replaced + "."))
        << told.toStdString();

    // B's planning as B saved it, A's beside it; nothing else.
    const QStringList plannings = QDir(patients).entryList({"20*"}, QDir::Dirs);
    ASSERT_EQ(plannings.size(), 2) << plannings.join(", ").toStdString();
    EXPECT_EQ(folders(), plannings + QStringList{"MorvantaStudyDummy"});
    const QString own = plannings.value(plannings.indexOf(replaced) == 0 ? 1 : 0);
    EXPECT_EQ(snapshot(patients + "/" + replaced), savedByB);
    const auto implants = [&](const QString& folder) {
        QStringList names;
        const PlanningFile planning = PlanningFile::read((patients + "/" + folder + "/" + folder + ".srl").toStdString());
        for (const auto& implant : planning.implants)
            names << QFileInfo(QString::fromStdString(implant.file)).fileName();
        return names;
    };
    EXPECT_EQ(implants(replaced), QStringList{kept[0]});
    EXPECT_EQ(implants(own), QStringList{kept[1]});
    const auto settings = std::make_shared<Settings>(two.home.path("Morvanta.ini").toStdString());
    const auto model = std::make_shared<Model>(settings);
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter);
    PlanningReader reader((patients + "/" + own + "/" + own + ".srl").toStdString(), model, settings, manager);
    EXPECT_TRUE(reader.start()) << reader.getErrorMessage();
}

// Two instances load one planning; A drops the first implant, B the second, and one X client
// presses "Overwrite" in both save questions, the second press 0 to 60 ms after the first
// (2 rounds each, or MORVANTA_RACE_ROUNDS if more). Whichever saves first, one planning is left with
// its changes, and the other instance is told that it was saved again meanwhile, never another cause.
TEST(PlanningFolderTest, TwoInstancesOverwritingAtOnceLeaveOnePlanning)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    TwoInstances two;
    ASSERT_NO_FATAL_FAILURE(two.savePlanning());
    const QString& patients = two.patients;
    const QString loaded = QDir(patients).entryList({"20*"}, QDir::Dirs).value(0), kept = two.home.path("kept");
    ASSERT_EQ(QProcess::execute("cp", {"-r", patients, kept}), 0);
    const int rounds = std::max(2, qEnvironmentVariableIntValue("MORVANTA_RACE_ROUNDS"));
    for (const int gap : {0, 20, 40, 60})
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(std::to_string(gap) + " ms apart, round " + std::to_string(round));
            ASSERT_TRUE(QDir(patients).removeRecursively());
            ASSERT_EQ(QProcess::execute("cp", {"-r", kept, patients}), 0);
            QProcess programs[2];
            QString windows[2], questions[2];
            for (int i = 0; i < 2; ++i)
                ASSERT_FALSE((windows[i] = two.startAndLoad(programs[i])).isEmpty()) << "instance " << i << " loaded";
            for (int i = 0; i < 2; ++i)
                ASSERT_TRUE(two.deleteImplant(windows[i], i));
            // Both save questions open, side by side.
            for (int i = 0; i < 2; ++i) {
                AppTest::xdotool(two.display, {"windowfocus", "--sync", windows[i], "key", "ctrl+w"});
                ASSERT_FALSE((questions[i] = AppTest::waitForWindow(two.display, "^Save patient$", 60000, &programs[i])).isEmpty());
                AppTest::xdotool(two.display, {"windowmove", "--sync", questions[i], QString::number(100 + 900 * i), "100"});
            }
            const int first = round % 2;
            const QString x = QString::number(TwoInstances::overwriteButton.x()),
                          y = QString::number(TwoInstances::overwriteButton.y());
            AppTest::xdotool(two.display, {"mousemove", "--window", questions[first], x, y, "click", "1", "sleep",
                                           QString::number(gap / 1000.0), "mousemove", "--window",
                                           questions[1 - first], x, y, "click", "1"});
            // One saves and ends; the other shows why it did not.
            int saver = -1;
            ASSERT_TRUE(AppTest::waitFor([&] {
                saver = programs[0].state() == QProcess::NotRunning ? 0 : programs[1].state() == QProcess::NotRunning ? 1 : -1;
                return saver >= 0;
            }, 60000));
            QProcess& other = programs[1 - saver];
            EXPECT_EQ(programs[saver].exitCode(), 0);
            const bool shown = !AppTest::waitForWindow(two.display, "^Saving error$", 60000, &other).isEmpty();
            EXPECT_TRUE(shown);
            if (!shown)
                // What the screen shows then, for whoever looks into it.
                QProcess::execute("env", {"DISPLAY=" + two.display, "import", "-window", "root",
                                          MORVANTA_BINARY_DIR "/tests/app/two_instances_no_saving_error.png"});
            other.kill();
            other.waitForFinished();
            const QString told = QString::fromLocal8Bit(other.readAllStandardError());
            const QString left = QDir(patients).entryList({"20*"}, QDir::Dirs).value(0);
            ASSERT_EQ(QDir(patients).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                      (QStringList{left, "MorvantaStudyDummy"})) << told.toStdString();
            EXPECT_EQ(told.count("Saving error"), 1) << told.toStdString();
            EXPECT_TRUE(told.contains("Saving error: The planning was not saved.\nThe planning " + patients + "/" +
                                      loaded + " was saved again meanwhile, by another instance of the program: it is now in " +
                                      patients + "/" + left + ". Overwriting it would throw that work away; "
                                      "\"Save as new\" keeps this planning beside it."))
                << told.toStdString();
            const auto implants = PlanningFile::read((patients + "/" + left + "/" + left + ".srl").toStdString()).implants;
            ASSERT_EQ(implants.size(), 1u);
            EXPECT_EQ(QFileInfo(QString::fromStdString(implants[0].file)).fileName(), two.kept[1 - saver]);
        }
}

// A save killed after the old planning went into the hidden working folder and before that
// folder was published, and a screenshot killed before it was named: the program's next start
// finishes the save (the planning listed once, loading, with its recording and picture) and
// removes the picture, but only while no other instance runs, and never while a save is at work
// in the folder: a start of another installation sharing the patient folder leaves it alone.
TEST(PlanningFolderTest, TheNextStartAloneFinishesASaveACrashCutOff)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    TwoInstances two;
    ASSERT_NO_FATAL_FAILURE(two.savePlanning());
    const QString& patients = two.patients;
    const QString name = QDir(patients).entryList({"20*"}, QDir::Dirs).value(0), old = patients + "/" + name;
    // An instance that runs while the next one starts.
    QProcess running, beside, alone;
    ASSERT_FALSE(AppTest::startProgram(running, two.display, two.home.path()).isEmpty());
    // The state a kill before the publishing rename leaves: the new planning whole in its
    // working folder, the old one (with its recording and picture) inside it.
    const QString saved = "2030-01-01__08-00-00-5", staging = patients + "/." + saved + ".saving0",
                  cut = two.home.path("Images/.staged-" + QUuid::createUuid().toString(QUuid::WithoutBraces) + ".bmp");
    const auto write = [](const QString& file, const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    ASSERT_EQ(QProcess::execute("cp", {"-r", old, staging}), 0);
    ASSERT_TRUE(QFile::rename(staging + "/" + name + ".srl", staging + "/" + saved + ".srl"));
    ASSERT_TRUE(write(old + "/system/session.log", "the recording") && write(old + "/images/shot.bmp", "the picture"));
    ASSERT_TRUE(QDir().rename(old, staging + "/.previous-" + name));
    // The save's mark: one that died before it wrote its name.
    const QString mark = staging + "/" + WorkMark::fileName;
    ASSERT_TRUE(write(mark, ""));
    ASSERT_TRUE(write(cut, "half a picture"));
    QStringList left = snapshot(patients);

    ASSERT_FALSE(AppTest::startProgram(beside, two.display, two.home.path()).isEmpty());
    QByteArray errors;
    EXPECT_TRUE(AppTest::waitForStartWalk(beside, errors)) << errors.toStdString();
    EXPECT_EQ(snapshot(patients), left);
    EXPECT_TRUE(QFile::exists(cut));
    {
        // While a save is at work there (this test holds its mark), another installation starts
        // alone in its own program folder.
        const std::unique_ptr<WorkMark> atWork =
            std::move(WorkMark::take(FolderHandle::open(staging.toStdString(), true), false)->mark);
        ASSERT_TRUE(atWork);
        left = snapshot(patients);
        // Beside it, what a save that died before its commit left: that start's to remove.
        const QString died = patients + "/.2030-01-01__08-00-00-9.saving0";
        ASSERT_TRUE(write(died + "/" + WorkMark::fileName, "") && write(died + "/dicom/CT1.dcm", "a copy"));
        AppTest::AppFolder otherFolder;
        ASSERT_TRUE(write(otherFolder.path("Morvanta.ini"), ("[Morvanta]\nPatientPath=" + patients + "\n").toUtf8()));
        QProcess other;
        ASSERT_FALSE(AppTest::startProgram(other, two.display, otherFolder.path()).isEmpty());
        QByteArray otherErrors;
        EXPECT_TRUE(AppTest::waitForStartWalk(other, otherErrors)) << otherErrors.toStdString();
        EXPECT_EQ(snapshot(patients).join("\n").toStdString(), left.join("\n").toStdString());
        other.kill();
        ASSERT_TRUE(other.waitForFinished(60000));
        // The save dies once more, before it wrote its name.
        atWork->leave();
        QFile(mark).resize(0);
    }
    qputenv("MORVANTA_HOME", two.home.path().toUtf8());
    for (QProcess* program : {&beside, &running}) {
        program->kill();
        ASSERT_TRUE(program->waitForFinished(60000));
    }

    ASSERT_FALSE(AppTest::startProgram(alone, two.display, two.home.path()).isEmpty());
    QByteArray aloneErrors;
    EXPECT_TRUE(AppTest::waitForStartWalk(alone, aloneErrors)) << aloneErrors.toStdString();
    EXPECT_FALSE(QFile::exists(cut));
    EXPECT_EQ(QDir(patients).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{saved});
    EXPECT_EQ(TestSupport::readFile((patients + "/" + saved + "/system/session.log").toStdString()), "the recording");
    EXPECT_EQ(TestSupport::readFile((patients + "/" + saved + "/images/shot.bmp").toStdString()), "the picture");
    // "Load planning" lists it once: its only row loads.
    ASSERT_TRUE(AppTest::reloadTheOnlyPlanning(two.display));
    EXPECT_TRUE(AppTest::waitFor([&] { return two.logs() == 1; }, 60000)) << "the planning has loaded";
    alone.kill();
    alone.waitForFinished(60000);
}

// The real program overwrites its planning with a picture it took and its recording, killed
// (strace) while the series goes in, while the picture goes in, and while the picture leaves
// "Images" once the planning is published. Every planning listed loads, and the picture is in a
// listed planning or where it was taken; the next start leaves one planning and nothing hidden,
// and says where the pictures of the session that died went.
TEST(PlanningFolderTest, ASaveKilledWithAPictureAndARecordingLosesNothing)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (QProcess::execute("strace", {"-V"}) != 0)
        GTEST_SKIP() << "strace is missing (scripts/install-deps)";
    TwoInstances two;
    ASSERT_NO_FATAL_FAILURE(two.savePlanning());
    const QString& patients = two.patients;
    const QString old = patients + "/" + QDir(patients).entryList({"20*"}, QDir::Dirs).value(0);
    const QString kept = two.home.path("kept"), images = two.home.path("Images");
    ASSERT_EQ(QProcess::execute("cp", {"-r", patients, kept}), 0);
    const QString series = old + "/dicom/" + QDir(old + "/dicom").entryList(QDir::Files, QDir::Name).value(0);
    const auto listed = [&] {
        QStringList found;
        for (const QString& name : QDir(patients).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (!PlanningFinder::planningIn((patients + "/" + name).toStdString()).empty())
                found << patients + "/" + name;
        return found;
    };
    // The first opening of the file (the save's, as it goes in), its removal from Images/.
    const std::pair<QString, bool> kills[] = {{"openat", true}, {"openat", false}, {"unlinkat", false}};
    for (const auto& [call, inSeries] : kills) {
        SCOPED_TRACE((call + (inSeries ? " of the series" : " of the picture")).toStdString());
        ASSERT_TRUE(QDir(patients).removeRecursively() && QDir(images).removeRecursively());
        ASSERT_EQ(QProcess::execute("cp", {"-r", kept, patients}), 0);
        QProcess program;
        const QString window = two.startAndLoad(program);
        ASSERT_FALSE(window.isEmpty());
        AppTest::xdotool(two.display, {"windowfocus", "--sync", window, "key", "p"});
        QString picture;
        ASSERT_TRUE(AppTest::waitFor([&] {
            picture = QDir(images).entryList({"*.bmp"}, QDir::Files).value(0);
            return !picture.isEmpty();
        }));
        picture = images + "/" + picture;
        const QByteArray taken = QByteArray::fromStdString(TestSupport::readFile(picture.toStdString()));
        QProcess strace;
        strace.start("strace", {"-qq", "-f", "-o", "/dev/null", "-p", QString::number(program.processId()), "-P",
                                call == "unlinkat" ? images : inSeries ? series : picture, "-e", "trace=" + call, "-e",
                                "inject=" + call + ":signal=KILL"});
        const std::string status = "/proc/" + std::to_string(program.processId()) + "/status";
        ASSERT_TRUE(AppTest::waitFor([&] { return TestSupport::readFile(status).find("TracerPid:\t0\n") == std::string::npos; }));
        ASSERT_TRUE(two.quitSaving(window, true));
        ASSERT_TRUE(program.waitForFinished(120000));
        EXPECT_EQ(program.exitStatus(), QProcess::CrashExit);
        strace.waitForFinished();
        // As any computer finds it now.
        const auto pictureKept = [&] {
            bool found = TestSupport::readFile(picture.toStdString()) == taken.toStdString();
            for (const QString& planning : listed())
                found = found || TestSupport::readFile((planning + "/images/" + QFileInfo(picture).fileName()).toStdString()) ==
                                     taken.toStdString();
            return found;
        };
        ASSERT_FALSE(listed().isEmpty());
        for (const QString& planning : listed()) {
            const auto settings = std::make_shared<Settings>(two.home.path("Morvanta.ini").toStdString());
            const auto model = std::make_shared<Model>(settings);
            Vexa::DicomIOManager manager;
            manager.insertImporter(new Vexa::UniversalImporter);
            PlanningReader reader((planning + "/" + QFileInfo(planning).fileName() + ".srl").toStdString(), model,
                                  settings, manager);
            EXPECT_TRUE(reader.start()) << reader.getErrorMessage();
        }
        EXPECT_TRUE(pictureKept());
        EXPECT_EQ(two.logs(), 1) << "the recording stays where it was made";
        // The next start.
        QProcess next;
        ASSERT_FALSE(AppTest::startProgram(next, two.display, two.home.path()).isEmpty());
        QByteArray errors;
        EXPECT_TRUE(AppTest::waitForStartWalk(next, errors)) << errors.toStdString();
        const QString recovered = images + "/recovered/" + QFileInfo(picture).fileName();
        // The user is told in the window where a picture went, and only then.
        const bool shown = !AppTest::waitForWindow(two.display, "^Earlier sessions$", QFileInfo::exists(recovered) ? 30000 : 2000,
                                                   &next).isEmpty();
        next.kill();
        next.waitForFinished();
        const QString told = QString::fromLocal8Bit(errors + next.readAllStandardError());
        EXPECT_EQ(listed().size(), 1);
        EXPECT_EQ(QDir(patients).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  (QStringList{QFileInfo(listed().value(0)).fileName(), "MorvantaStudyDummy"}));
        EXPECT_EQ(shown, QFileInfo::exists(recovered)) << told.toStdString();
        if (QFileInfo::exists(recovered)) {
            EXPECT_EQ(TestSupport::readFile(recovered.toStdString()), taken.toStdString());
            EXPECT_TRUE(told.contains("Earlier sessions: The picture " + picture + " of an earlier session is kept in " +
                                      images + "/recovered."))
                << told.toStdString();
        } else {
            // In the planning, and nowhere else.
            EXPECT_EQ(TestSupport::readFile((listed().value(0) + "/images/" + QFileInfo(picture).fileName()).toStdString()),
                      taken.toStdString());
            EXPECT_FALSE(QFileInfo::exists(picture));
        }
    }
}
