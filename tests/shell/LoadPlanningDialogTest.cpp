#include "shell/dialogs/LoadPlanningDialog.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "vexa/core/ExceptionStack.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QProcess>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <thread>

TEST(LoadPlanningDialog, ListsEachReadablePlanningNewestFirstAndSkipsTheRest)
{
    TestSupport::ScratchDir dir;
    ASSERT_EQ(QProcess::execute("/usr/bin/python3",
                                {MORVANTA_SOURCE_DIR "/tests/tools/make_planning_tree.py", dir.qpath()}),
              0);
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::DVT9000Importer());
    manager.insertImporter(new Vexa::UniversalImporter());
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
    // implant count and the cut transform (the reader would refuse them), once a scan.
    int records = 0;
    for (const auto& entry : Vexa::ExceptionStack::getInstance()->entries(std::this_thread::get_id()))
        records += entry.signature.find("readFromFile") != std::string::npos;
    EXPECT_EQ(records, 10);
}
