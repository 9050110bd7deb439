// Saving as a user meets it in the window: an ordinary session of overwrites says nothing, what a
// start finished of earlier sessions is shown once, and every recording of a session reaches the
// planning, also those a failed save had closed.
#include "AppTestSupport.h"

#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "vexa/core/CommandProcessor.h"

#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>

namespace {

QStringList planningsIn(const QString& patients)
{
    return QDir(patients).entryList({"20*"}, QDir::Dirs);
}

// Imports the sample patient with one implant and saves it as new; the planning's folder.
QString saveSample(MainWindow& window, const AppTest::AppFolder& home)
{
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    EXPECT_TRUE(window.importVolumeData(files));
    window.getModel()->getImplantManager()->addImplant(Implant::createFromFile(
        Vexa::Matrix44<double>(Vexa::Vector3D(40, 36, 20)), 0,
        home.path("ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant").toStdString()));
    EXPECT_TRUE(window.savePlanning(false));
    return QFileInfo(QString::fromStdString(window.getSettings()->getPlanningFile())).absolutePath();
}

}

// Save as new, exchange the implant, then Overwrite three times: no box at all, one folder, and
// the planning holds the exchanged implant.
TEST(SavingSessionTest, AnExchangedImplantIsOverwrittenThreeTimesWithoutAWord)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    AppTest::DialogAnswerer answer;
    MainWindow window(nullptr, Constants::NormalMode);
    saveSample(window, home);
    const auto manager = window.getModel()->getImplantManager();
    Vexa::CommandProcessor processor;
    processor.execute(ExchangeImplantCommand::create(
        manager, manager->getImplant(1),
        Implant::createFromFile(Vexa::Matrix44<double>(), 0,
                                home.path("ImplantDatabase/Quillon Medical/Q-Line/QM-L-D48-L100.implant").toStdString())));
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(window.savePlanning(true));
        EXPECT_EQ(answer.seen, QStringList()) << "a box showed";
        EXPECT_EQ(planningsIn(home.path("patients")).size(), 1);
        EXPECT_EQ(QDir(home.path("patients")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  planningsIn(home.path("patients")))
            << "nothing hidden beside the planning";
    }
    const PlanningFile saved = PlanningFile::read(window.getSettings()->getPlanningFile());
    ASSERT_EQ(saved.implants.size(), 1u);
    EXPECT_EQ(QFileInfo(QString::fromStdString(saved.implants[0].file)).fileName(), "QM-L-D48-L100.implant");
}

// A start that finds a take-over record not fitting its folder sets it aside and tells the user
// in the window, once; the next start has nothing to tell.
TEST(SavingSessionTest, WhatAStartFinishedIsShownInTheWindowOnce)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    QString folder;
    {
        MainWindow window(nullptr, Constants::NormalMode);
        folder = saveSample(window, home);
    }
    // A record naming the folder that holds it.
    const std::string name = QFileInfo(folder).fileName().toStdString();
    TakeOverRecord record;
    record.folder = name;
    record.planning = name + ".srl";
    QFile file(folder + "/" + QString::fromStdString(record.fileName()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromStdString(record.text()));
    file.close();

    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "the start that finds it" : "the next start");
        AppTest::DialogAnswerer answer;
        QString told;
        answer.then([&](QWidget* modal) {
            auto* box = qobject_cast<MessageDialog*>(modal);
            if (!box || box->windowTitle() != "Earlier sessions")
                return false;
            told = box->findChild<QLabel*>()->text();
            // The box as the user sees it over the window, once it is painted.
            if (!QTest::qWaitForWindowExposed(box))
                return false;
            QApplication::processEvents();
            QProcess::execute("env", {"DISPLAY=" + qEnvironmentVariable("DISPLAY"), "import", "-window", "root",
                                      MORVANTA_BINARY_DIR "/tests/app/earlier_sessions_told.png"});
            QPushButton* ok = box->findChildren<QPushButton*>().front();
            QTimer::singleShot(0, ok, [ok] { ok->click(); });
            return true;
        });
        MainWindow window(nullptr, Constants::NormalMode);
        AppTest::waitFor([&] { return answer.done(); }, first ? 30000 : 2000);
        EXPECT_EQ(answer.done(), first) << answer.seen.join(", ").toStdString();
        if (first) {
            const std::string at = folder.toStdString();
            EXPECT_EQ(told.toStdString(), "The planning in " + at + " records that it replaced the planning in " + at +
                                              ", but " + at + " does not hold that planning now. Nothing was moved or "
                                              "removed for it; the record is kept as " + at + "/.morvanta-set-aside-" +
                                              name + ".");
        }
    }
    EXPECT_EQ(planningsIn(home.path("patients")), QStringList{QFileInfo(folder).fileName()});
}

// The real program records a session: a save as new that fails (a file of the series went) says
// that the planning was not saved, the recording goes on in a new log, and the save that then
// succeeds takes both logs into the planning.
TEST(SavingSessionTest, EveryRecordingOfTheSessionReachesThePlanning)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    // A copy of the sample, so that one of its files can go missing for a while.
    ASSERT_TRUE(QFile::remove(home.path("SamplePatient")));
    ASSERT_EQ(QProcess::execute("cp", {"-r", AppTest::built + "/SamplePatient", home.path("SamplePatient")}), 0);
    const QString study = home.path("patients/MorvantaStudyDummy/System");
    const auto logs = [&] { return QDir(study).entryList({"*.log"}, QDir::Files, QDir::Name); };
    QProcess program;
    ASSERT_FALSE(AppTest::startProgram(program, display, home.path()).isEmpty());
    AppTest::openFirstEntry(false);
    ASSERT_TRUE(AppTest::waitFor([&] { return logs().size() == 1; }, 120000));

    const QString missing = QDir(home.path("SamplePatient")).entryList({"*.dcm"}, QDir::Files, QDir::Name).value(3);
    ASSERT_TRUE(QFile::rename(home.path("SamplePatient/" + missing), home.path(missing)));
    for (const bool fails : {true, false}) {
        SCOPED_TRACE(fails ? "the save that fails" : "the save that succeeds");
        AppTest::inWindow("^Morvanta$", {"windowfocus", "--sync", "%1", "key", "ctrl+w"});
        AppTest::inWindow("^Save patient$", {"windowfocus", "--sync", "%1", "key", "space"}); // "Save as new"
        if (!fails)
            break;
        ASSERT_FALSE(AppTest::waitForWindow(display, "^Saving error$", 120000, &program).isEmpty());
        const QString error = AppTest::windowNamed(display, "Saving error"); // painted
        QProcess::execute("env", {"DISPLAY=" + display, "import", "-window", "root",
                                  MORVANTA_BINARY_DIR "/tests/app/saving_error_not_saved.png"});
        AppTest::xdotool(display, {"windowfocus", "--sync", error, "key", "space"});
        // The recording goes on in a log of its own.
        ASSERT_TRUE(AppTest::waitFor([&] { return logs().size() == 2; }, 60000));
        ASSERT_TRUE(QFile::rename(home.path(missing), home.path("SamplePatient/" + missing)));
    }
    ASSERT_TRUE(program.waitForFinished(120000));
    const QString told = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(told.contains("Saving error: The planning was not saved.\nCould not copy the DICOM file " +
                              home.path("SamplePatient/" + missing) + ": the file does not exist."))
        << told.toStdString();
    const QStringList plannings = planningsIn(home.path("patients"));
    ASSERT_EQ(plannings.size(), 1);
    EXPECT_EQ(QDir(home.path("patients/" + plannings[0] + "/system")).entryList({"*.log"}, QDir::Files, QDir::Name), logs());
}
