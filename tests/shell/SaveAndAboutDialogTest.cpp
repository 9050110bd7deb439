#include "shell/dialogs/AboutDialog.h"
#include "shell/dialogs/SaveDialog.h"

#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QDir>
#include <QLabel>
#include <QRadioButton>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

using ShellTest::buttonsInOrder;

namespace {

class SaveDialogTest : public testing::Test
{
protected:
    // A model whose settings name `patientPath` as the first patient folder.
    std::shared_ptr<Model> model(const std::string& patientPath, int state, const std::string& planningFile)
    {
        const std::string ini = dir.file("Morvanta.ini");
        std::ofstream(ini) << "[Morvanta]\nPatientPath=" << patientPath << (patientPath.empty() ? "" : ";/elsewhere") << "\n";
        auto settings = std::make_shared<Settings>(ini);
        settings->setPlanningState(state);
        settings->setPlanningFile(planningFile);
        return std::make_shared<Model>(settings);
    }
    TestSupport::ScratchDir dir;
};

QRadioButton* radio(const QWidget& w, const QString& text)
{
    for (auto* r : w.findChildren<QRadioButton*>())
        if (r->text() == text)
            return r;
    return nullptr;
}

}

TEST_F(SaveDialogTest, OverwriteOnlyForAPlanningInsideTheFirstPatientFolder)
{
    const std::string patients = dir.file("patients");
    const struct
    {
        std::string path;
        int state;
        std::string file;
        bool enabled;
    } rows[] = {
        {patients, 0, patients + "/A/plan.srl", false},
        {patients, 1, patients + "/A/plan.srl", false},
        {patients, 2, patients + "/A/plan.srl", true},
        {patients, 2, dir.file("other/A/plan.srl"), false},
        {patients + "/", 2, patients + "/./A/plan.srl", true},
        {"", 2, patients + "/A/plan.srl", false}, // no patient folder at all
    };
    for (const auto& row : rows)
    {
        SaveDialog dialog(nullptr, model(row.path, row.state, row.file), QString());
        EXPECT_EQ(dialog.isOverwriteEnabled(), row.enabled) << row.path << " " << row.state << " " << row.file;
    }
}

TEST_F(SaveDialogTest, ButtonsResultsJawAndPatientLine)
{
    // Cancel rejects with result 1; the fourth button, there only with a text, accepts with 2.
    for (const auto& [quit, press, exec, result] :
         {std::tuple{QString(), 2, 0, 1}, {QString("Quit without saving"), 2, 0, 1}, {QString("Quit without saving"), 3, 1, 2}})
    {
        SaveDialog dialog(nullptr, model("/p", 0, ""), quit);
        const auto a = ShellTest::answer(dialog, press);
        EXPECT_EQ(a.captions, QStringList({"Overwrite", "Save as new", "Cancel"}) + (quit.isEmpty() ? QStringList() : QStringList(quit)));
        EXPECT_EQ(std::make_pair(a.exec, dialog.getResult()), std::make_pair(exec, result));
    }

    auto m = model("/p", 0, "");
    const struct
    {
        std::string birth;
        QString line;
    } patients[] = {
        {"19650412", "Doe^Jane   (*12/04/1965)   id:P-7"},
        {"", "Doe^Jane   (*)   id:P-7"},
        {"1965", "Doe^Jane   (*1965)   id:P-7"},
    };
    for (const auto& p : patients)
    {
        std::map<uint32_t, std::string> tags{{0x00100010, "Doe^Jane"}, {0x00200010, "P-7"}};
        if (!p.birth.empty())
            tags[0x00300010] = p.birth;
        m->setData(std::make_shared<Vexa::DicomData>(std::make_shared<Vexa::DicomInformation>(tags, 1)));
        EXPECT_EQ(SaveDialog(nullptr, m, QString()).patientLine(), p.line);
    }

    for (int jaw : {0, 1, 2})
    {
        m->setJaw(jaw);
        SaveDialog dialog(nullptr, m, QString());
        EXPECT_EQ(radio(dialog, "Maxilla")->isChecked(), jaw == 1);
        EXPECT_EQ(radio(dialog, "Mandible")->isChecked(), jaw == 2);
        EXPECT_EQ(dialog.getJaw(), jaw);
        dialog.show();
        QTest::mouseClick(radio(dialog, "Mandible"), Qt::LeftButton, {}, QPoint(5, 5));
        EXPECT_EQ(dialog.getJaw(), 2);
        EXPECT_TRUE(dialog.isVisible()) << "choosing a jaw does not close the dialog";
    }
}

TEST(AboutDialog, VersionFramelessSizeAndPictureFromTheApplicationFolder)
{
    const QString previous = QDir::currentPath();
    TestSupport::ScratchDir elsewhere;
    QDir::setCurrent(elsewhere.qpath()); // pictures must not depend on the working folder
    const std::string home = MORVANTA_BINARY_DIR "/app";
    const QImage picture(QString::fromStdString(home + "/Data/Images/Morvanta.bmp"));
    ASSERT_FALSE(picture.isNull()) << "the picture generator has not run";

    for (const std::string& folder : {home, elsewhere.path()}) // the second has no picture
    {
        setenv("MORVANTA_HOME", folder.c_str(), 1);
        AboutDialog dialog("Surgical");
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        EXPECT_TRUE(ShellTest::labelTexts(dialog).contains("Version 2.0.3\nSurgical"));
        EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
        EXPECT_EQ(dialog.minimumSize(), QSize(640, 480));
        EXPECT_EQ(dialog.maximumSize(), QSize(640, 480));
        const QImage shot = dialog.grab().toImage();
        if (folder == home)
            shot.save(QString::fromStdString(MORVANTA_BINARY_DIR "/tests/shell/about.png"));
        // Probes in the picture area above the labels.
        for (const QPoint p : {QPoint(40, 300), QPoint(600, 380), QPoint(320, 250)})
        {
            const QColor expected = folder == home ? picture.pixelColor(p) : dialog.palette().color(QPalette::Window);
            EXPECT_EQ(shot.pixelColor(p), expected) << p.x() << "," << p.y() << " in " << folder;
        }
        QTest::mouseClick(buttonsInOrder(dialog).back(), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    unsetenv("MORVANTA_HOME");
    QDir::setCurrent(previous);
}
