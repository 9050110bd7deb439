#include "shell/dialogs/LoadPlanningDialog.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "vexa/core/ExceptionStack.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QLabel>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <thread>

namespace {

class LoadPlanningDialogTest : public testing::Test
{
protected:
    LoadPlanningDialogTest()
    {
        EXPECT_EQ(QProcess::execute("/usr/bin/python3",
                                    {MORVANTA_SOURCE_DIR "/tests/tools/make_planning_tree.py", dir.qpath()}),
                  0);
        manager.insertImporter(new Vexa::DVT9000Importer());
        manager.insertImporter(new Vexa::UniversalImporter());
    }
    TestSupport::ScratchDir dir;
    Vexa::DicomIOManager manager;
};

}

TEST_F(LoadPlanningDialogTest, ListsEachReadablePlanningNewestFirstAndSkipsTheRest)
{
    Vexa::ExceptionStack::getInstance()->clear();
    LoadPlanningDialog dialog(nullptr, &manager);
    dialog.setBasePaths({dir.file("patients"), dir.file("no such folder")});
    const QStringList expected = {
        "2005/01/02 09:00:00|Beta|1965|Unknown|0|DVT",
        "2004/12/31 10:00:00|Alpha|12/04/1965|Mandible|3|CT",
        "2003/03/15 08:00:00|Gamma||Maxilla|1|OPG",
        "12/31|Short|01/01/2001|Unknown|0|OPG",
    };
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    for (int round = 0; round < 2; ++round) // a second exec lists every planning once
    {
        QStringList rows;
        bool cursorBack = false;
        const int exec = ShellTest::runModal(dialog, [&] {
            cursorBack = QApplication::overrideCursor() == nullptr;
            rows = ShellTest::rowTexts(list, {0, 1, 2, 3, 4, 5});
            // The centred implant count sits in the middle of its row, as the other texts do.
            for (int column : {0, 4})
                EXPECT_NEAR(ShellTest::inkOffset(list, list->topLevelItem(1), column), 0.0, 2.0) << column;
            if (round == 0)
                ShellTest::doubleClick(list, list->topLevelItem(1));
            else
                QTest::keyClick(&dialog, Qt::Key_Escape);
        });
        EXPECT_TRUE(cursorBack);
        EXPECT_EQ(rows, expected);
        EXPECT_EQ(exec, round == 0 ? 1 : 0);
        EXPECT_EQ(dialog.getSelectedPlanningFileName(), round == 0 ? dir.file("patients/Alpha/plan.srl") : "");
    }
    // The missing key, the unreadable DICOM file, the one outside its folder, the unreadable
    // implant count, the cut transform (the reader would refuse them) and the incomplete series,
    // once a scan.
    int records = 0;
    for (const auto& entry : Vexa::ExceptionStack::getInstance()->entries(std::this_thread::get_id()))
        records += entry.signature.find("readFromFile") != std::string::npos;
    EXPECT_EQ(records, 12);
}

// The plannings left out are named below the list with their reasons, one line each, and the
// buttons move below them; without any, the dialog keeps its size.
TEST_F(LoadPlanningDialogTest, NamesTheLeftOutPlanningsBelowTheList)
{
    const QString header = "Not listed, because they cannot be loaded:";
    const struct
    {
        const char* base;
        int rows;
        QStringList leftOut;
    } cases[] = {
        {"patients/Alpha", 1, {}},
        {"patients",
         4,
         {header,
          "Damaged/count.srl: the planning file holds an invalid value of \"implant\" in [Implant]",
          "Damaged/cut.srl: the planning file holds an invalid value of \"transform0\" in [Implant]",
          "Damaged/escape.srl: the planning file holds an invalid value of \"dicomFile0\" in [ImageData]",
          "Damaged/junk.srl: the planning file names the DICOM file junk.dcm, which is no readable DICOM file",
          "Damaged/missing.srl: the planning file misses the key \"birthday\" in [Patient]",
          "Partial: the planning file names the DICOM file image1.dcm, which is missing"}},
        {"patients/Partial",
         0,
         {header, dir.qpath() + "/patients/Partial: the planning file names the DICOM file image1.dcm, which is missing"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.base);
        LoadPlanningDialog dialog(nullptr, &manager);
        dialog.setBasePaths({dir.file(c.base)});
        auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
        auto* area = dialog.findChild<QScrollArea*>();
        auto* label = dialog.findChild<QLabel*>("m_LeftOut");
        auto* cancel = dialog.findChild<QPushButton*>("m_buttonCancel");
        int rows = -1;
        bool shown = false, scrolls = true;
        QRect areaRect, buttons;
        QSize size;
        ShellTest::runModal(dialog, [&] {
            rows = list->topLevelItemCount();
            shown = area->isVisible();
            scrolls = area->horizontalScrollBar()->maximum() > 0 || area->verticalScrollBar()->maximum() > 0;
            areaRect = area->geometry();
            buttons = cancel->parentWidget()->geometry();
            size = dialog.size();
            dialog.reject();
        });
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(shown, !c.leftOut.isEmpty());
        if (!shown)
        {
            EXPECT_EQ(size, QSize(904, 441));
            EXPECT_EQ(buttons, QRect(670, 380, 220, 50));
            continue;
        }
        EXPECT_EQ(label->text().toStdString(), c.leftOut.join('\n').toStdString());
        // Every line shows whole, between the list and the buttons, inside the dialog.
        EXPECT_FALSE(scrolls);
        EXPECT_TRUE(areaRect.top() > list->geometry().bottom() && buttons.top() > areaRect.bottom());
        EXPECT_TRUE(QRect(QPoint(), size).contains(buttons));
    }
}
