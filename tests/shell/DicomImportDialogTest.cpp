#include "shell/dialogs/DicomImportDialog.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "shell/dialogs/MessageDialog.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QLineEdit>
#include <QRegularExpression>
#include <QFile>
#include <cstdlib>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

class DicomImportDialogTest : public testing::Test
{
protected:
    DicomImportDialogTest()
    {
        manager.insertImporter(new Vexa::DVT9000Importer());
        manager.insertImporter(new Vexa::UniversalImporter());
    }
    // Through the C library's spawn, not a fork: these tests also run under ThreadSanitizer.
    QString tree(const QString& mode, const QString& count = QString()) const
    {
        const QString out = dir.qpath() + "/tree.out";
        const QString command = "/usr/bin/python3 '" MORVANTA_SOURCE_DIR "/tests/tools/dicom_tree.py' " + mode + " '" +
                                dir.qpath() + "/tree' " + count + " > '" + out + "'";
        EXPECT_EQ(std::system(command.toLocal8Bit().constData()), 0);
        QFile file(out);
        file.open(QIODevice::ReadOnly);
        QString text = file.readAll();
        text.chop(text.endsWith('\n') ? 1 : 0);
        return text;
    }
    // Runs `step` every 5 ms inside the dialog's loop until it returns true.
    static void whenReady(QObject* context, std::function<bool()> step)
    {
        auto* timer = new QTimer(context);
        QObject::connect(timer, &QTimer::timeout, [timer, step] {
            if (step())
                timer->stop();
        });
        timer->start(5);
    }
    Vexa::DicomIOManager manager;
    TestSupport::ScratchDir dir;
};

}

TEST_F(DicomImportDialogTest, StudySetsEqualPydicomsGroupingNewestFirst)
{
    tree("make");
    const QString expected = tree("groups");
    Vexa::DicomImportDialog dialog(nullptr, &manager);
    dialog.setBasePath(dir.file("tree"));
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    QStringList rows;
    QString top, status;
    const int exec = ShellTest::runModal(dialog, [&] {
        whenReady(&dialog, [&] {
            rows = ShellTest::rowTexts(list, {0, 1, 5});
            if (rows.isEmpty())
                return false;
            top = rows.front();
            // The centred "Sex" and "Files" sit in the middle of their row, as the other texts do.
            for (int column : {0, 3, 5})
                EXPECT_NEAR(ShellTest::inkOffset(list, list->topLevelItem(0), column), 0.0, 2.0) << column;
            status = dialog.findChild<QLineEdit*>("m_Status")->text();
            ShellTest::doubleClick(list, list->topLevelItem(int(rows.indexOf(QRegularExpression(".*\\|5$")))));
            return true;
        });
    });
    rows.sort();
    EXPECT_EQ(rows.join("\n"), expected);
    EXPECT_EQ(top, "06/06/2005 08:00:00|Two^Series|3");
    EXPECT_EQ(status, "Ready");
    EXPECT_EQ(exec, 1);
    const auto files = dialog.getFileNamesOfSelectedStudySet();
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(files.front(), dir.file("tree/Two/s1_0.dcm"));
}

TEST_F(DicomImportDialogTest, NothingFoundGivesTheImportError)
{
    Vexa::DicomImportDialog dialog(nullptr, &manager);
    dialog.setBasePath(dir.file("tree"));
    QString caption;
    const int exec = ShellTest::runModal(dialog, [&] {
        whenReady(&dialog, [&] {
            auto* box = qobject_cast<MessageDialog*>(QApplication::activeModalWidget());
            if (!box)
                return false;
            caption = box->windowTitle();
            QTest::mouseClick(ShellTest::buttonsInOrder(*box).front(), Qt::LeftButton);
            return true;
        });
    });
    EXPECT_EQ(exec, 0);
    EXPECT_EQ(caption, "Import error");
}

TEST_F(DicomImportDialogTest, CancelOrEscapeStopsALongScanAndNothingFollows)
{
    tree("many", "2000");
    for (bool escape : {false, true})
    {
        Vexa::DicomImportDialog dialog(nullptr, &manager);
        dialog.setBasePath(dir.file("tree"));
        auto* status = dialog.findChild<QLineEdit*>("m_Status");
        const int exec = ShellTest::runModal(dialog, [&] {
            whenReady(&dialog, [&] {
                if (!status->text().endsWith(".dcm")) // the scan is reading headers
                    return false;
                if (escape)
                    QTest::keyClick(&dialog, Qt::Key_Escape);
                else
                    QTest::mouseClick(dialog.findChild<QPushButton*>("m_buttonCancel"), Qt::LeftButton);
                return true;
            });
        });
        EXPECT_EQ(exec, 0);
        QTest::qWait(100);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no message after the stop";
        EXPECT_EQ(dialog.findChild<QTreeWidget*>("m_PatientTable")->topLevelItemCount(), 0);
        EXPECT_NE(status->text(), "Ready");
    }
}
