// The settings file the build writes, moved into a program folder of the test's own: plannings go
// into a folder of their own, so after the sample is saved twice "Start new planning" still lists
// it once (every planning holds a copy of its series).
#include "AppTestSupport.h"

#include "planning/model/Settings.h"
#include "shell/main/MainWindow.h"

#include <QToolButton>
#include <gtest/gtest.h>

TEST(PlanningFolderTest, SavedPlanningsStayOutOfTheImportList)
{
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
