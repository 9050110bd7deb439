#include "shell/dialogs/DicomImportDialog.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/widgets/FolderWalk.h"
#include "shell/widgets/WrappingLabel.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QWindow>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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
    // What the user does to stop a scan: Escape, or the Cancel button.
    static void stop(QDialog& dialog, bool escape)
    {
        if (escape)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            QTest::mouseClick(dialog.findChild<QPushButton*>("m_buttonCancel"), Qt::LeftButton);
    }
    Vexa::DicomIOManager manager;
    TestSupport::ScratchDir dir;
};

// The colour of one pixel of the screen as the X server shows it.
QColor screenPixel(QPoint at)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage().pixelColor(0, 0);
}

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
    QString caption, text;
    const int exec = ShellTest::runModal(dialog, [&] {
        whenReady(&dialog, [&] {
            auto* box = qobject_cast<MessageDialog*>(QApplication::activeModalWidget());
            if (!box)
                return false;
            caption = box->windowTitle();
            text = box->findChild<WrappingLabel*>()->text();
            QTest::mouseClick(ShellTest::buttonsInOrder(*box).front(), Qt::LeftButton);
            return true;
        });
    });
    EXPECT_EQ(exec, 0);
    EXPECT_EQ(caption, "Import error");
    EXPECT_EQ(text, "The folder " + dir.qpath() + "/tree does not exist.\n\nPlease insert cd with patient data and "
                                                  "press \"patient\" again.");
}

// What the dialog says of a folder: names in the series' character set, DICOM files it could not
// read (a slice cut short in its pixel data too), folders it could not look into and single images
// under the list (how many, which, why), and when nothing can be listed, in the message. A slice
// left out is named again when the import of its series fails on the gap it leaves.
TEST_F(DicomImportDialogTest, TellsNamesAsWrittenAndTheFilesItCouldNotRead)
{
    const struct
    {
        QString mode;
        std::vector<int> damaged; // files of "Many" cut short
        QString row;              // the one study set listed; empty: none, a message instead
        QStringList told;         // in the text under the list, or in the message
        int keep = 300;           // bytes a damaged file keeps
        QString locked = {};      // a folder of the tree this user may not read; other than the
                                  // tree itself, a copy of "Many"
        QString imported = {};    // the error of importing the set listed; empty: not imported
    } cases[] = {
        {"latin1", {}, "M\u00fcller^J\u00fcrgen|3", {}},
        {"many", {}, "Many^Files|6", {}},
        {"many",
         {2, 3},
         "Many^Files|4",
         {"2 of the 6 DICOM files found could not be read and are not listed: Many/00002.dcm (the file is cut short: ",
          "); Many/00003.dcm (the file is cut short: "}},
        {"many",
         {0, 1, 2, 3, 4, 5},
         QString(),
         {"None of the 6 DICOM files found could be read:\nMany/00000.dcm (the file is cut short: ",
          ")\nMany/00005.dcm (the file is cut short: "}},
        {"pixels",
         {2},
         "Many^Files|5",
         {"1 of the 6 DICOM files found could not be read and is not listed: Many/00002.dcm (the file is cut short: "
          "it holds 1200 of the ",
          " bytes its image needs)"},
         1200},
        {"pixels",
         {3},
         "Many^Files|5",
         {"1 of the 6 DICOM files found could not be read and is not listed: Many/00003.dcm (the file is cut short: "},
         1200,
         {},
         "00002.dcm and 00004.dcm are 1 mm apart where the series has 0.5 mm (uneven slice spacing); the file "
         "between them, 00003.dcm (the file is cut short: it holds 1200 of the "},
        {"many", {}, QString(), {"The folder " + dir.qpath() + "/tree cannot be read (Permission denied)."}, 300, "."},
        {"many",
         {},
         "Many^Files|6",
         {"Folders not looked into, because they cannot be read: Second (Permission denied)"},
         300,
         "Second"},
        {"singles",
         {},
         QString(),
         {"Each of the 6 DICOM files found is a single image, and a single image is no series:\nMany/00000.dcm\n",
          "\nMany/00005.dcm"}},
        {"singles",
         {0, 1, 2},
         QString(),
         {"3 of the 6 DICOM files found could not be read and are not listed:\nMany/00000.dcm (the file is cut short: ",
          ")\n\n3 of the 6 DICOM files found are single images, no series, and are not listed:\nMany/00003.dcm\n"
          "Many/00004.dcm\nMany/00005.dcm"}},
    };
    for (const auto& c : cases) {
        const QString what = c.mode + " " + QString::number(c.damaged.size());
        QDir(dir.qpath() + "/tree").removeRecursively();
        tree(c.mode, "6");
        for (int k : c.damaged)
            std::filesystem::resize_file(dir.file("tree/Many/0000" + std::to_string(k) + ".dcm"), c.keep);
        const std::string locked = dir.file("tree/" + c.locked.toStdString());
        if (!c.locked.isEmpty()) {
            if (c.locked != ".")
                std::filesystem::copy(dir.file("tree/Many"), locked);
            ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
        }
        // Root reads every folder: the scan is made as another account then, which may enter the
        // scratch folder.
        const bool asOther = !c.locked.isEmpty() && ::geteuid() == 0;
        if (asOther) {
            ASSERT_EQ(::chmod(dir.file("").c_str(), 0755), 0);
            ASSERT_EQ(::setresuid(65534, 65534, 0), 0);
        }
        Vexa::DicomImportDialog dialog(nullptr, &manager);
        dialog.setBasePath(dir.file("tree"));
        auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
        auto* label = dialog.findChild<QLabel*>("m_Unreadable");
        QStringList rows;
        QString told, message;
        bool shown = false;
        ShellTest::runModal(dialog, [&] {
            whenReady(&dialog, [&] {
                if (auto* box = qobject_cast<MessageDialog*>(QApplication::activeModalWidget())) {
                    message = box->findChild<WrappingLabel*>()->text();
                    QTest::mouseClick(ShellTest::buttonsInOrder(*box).front(), Qt::LeftButton);
                    return true;
                }
                rows = ShellTest::rowTexts(list, {1, 5});
                if (rows.isEmpty())
                    return false;
                shown = label->isVisible();
                told = label->text();
                // Nothing told is hidden by the list.
                if (shown) {
                    EXPECT_LE(list->geometry().bottom(), label->geometry().top()) << what.toStdString();
                }
                if (c.imported.isEmpty())
                    stop(dialog, true);
                else
                    ShellTest::doubleClick(list, list->topLevelItem(0));
                return true;
            });
        });
        if (asOther) {
            EXPECT_EQ(::setresuid(0, 0, 0), 0);
        }
        if (!c.locked.isEmpty())
            ::chmod(locked.c_str(), 0755);
        if (!c.imported.isEmpty()) {
            manager.setFiles(dialog.getFileNamesOfSelectedStudySet());
            std::string error;
            try {
                manager.start();
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            EXPECT_NE(error.find(c.imported.toStdString()), std::string::npos) << what.toStdString() << ": " << error;
        }
        EXPECT_EQ(rows.join("\n"), c.row) << what.toStdString();
        EXPECT_EQ(shown, !c.row.isEmpty() && !c.told.isEmpty()) << what.toStdString();
        const QString text = c.row.isEmpty() ? message : told;
        for (const QString& part : c.told)
            EXPECT_TRUE(text.contains(part)) << what.toStdString() << ": " << text.toStdString();
        EXPECT_EQ(text.isEmpty(), c.told.isEmpty()) << what.toStdString() << ": " << text.toStdString();
    }
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
                stop(dialog, escape);
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

// A folder that is slow to open (a CD): Cancel and Escape close the dialog while the scan is
// still inside it. The scan then ends on its own without opening another folder, and the
// manager that the dialog's caller deletes meanwhile is never used again.
TEST_F(DicomImportDialogTest, AStopNeverWaitsForASlowFolder)
{
    tree("many", "3");
    QDir().mkpath(dir.qpath() + "/tree/Other/Deeper");
    for (bool escape : {false, true})
    {
        SCOPED_TRACE(escape ? "Escape" : "Cancel");
        std::mutex mutex;
        std::condition_variable opened;
        bool inside = false, open = false;
        QStringList folders;
        FolderWalk::setOpenObserver([&](const QString& folder) {
            std::unique_lock lock(mutex);
            folders << folder;
            if (!folder.endsWith("/Many"))
                return;
            inside = true;
            // Bounded: a dialog that waited for the walk would wait for this.
            opened.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
            inside = false;
        });
        auto caller = std::make_unique<Vexa::DicomIOManager>();
        caller->insertImporter(new Vexa::UniversalImporter());
        int exec = -1;
        bool closedInside = false;
        {
            Vexa::DicomImportDialog dialog(nullptr, caller.get());
            dialog.setBasePath(dir.file("tree"));
            exec = ShellTest::runModal(dialog, [&] {
                whenReady(&dialog, [&] {
                    if (std::lock_guard lock(mutex); !inside)
                        return false;
                    stop(dialog, escape);
                    return true;
                });
            });
            std::lock_guard lock(mutex);
            closedInside = inside;
        }
        caller.reset();
        {
            std::lock_guard lock(mutex);
            closedInside = closedInside && inside; // the dialog has gone without waiting
            open = true;
        }
        opened.notify_all();
        Vexa::DicomImportDialog::DirectoryScanner::waitForDisposed();
        FolderWalk::setOpenObserver({});
        EXPECT_EQ(exec, 0);
        EXPECT_TRUE(closedInside);
        EXPECT_TRUE(folders.last().endsWith("/tree/Many")) << folders.join(" ").toStdString();
    }
}

// Escape typed (xdotool) 0.3 s into a scan of 200,000 folders: the dialog is off the screen
// within a second, and the event loop never stalls meanwhile. On an X server of the test's own,
// where no other test's window covers the dialog or takes the keyboard.
TEST_F(DicomImportDialogTest, EscapeInADeepTreeClosesAtOnceAndTheWindowLives)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X display";
    if (!qEnvironmentVariableIsSet("MORVANTA_OWN_X_SERVER"))
    {
        const QString command = "MORVANTA_OWN_X_SERVER=1 '" MORVANTA_SOURCE_DIR "/tests/tools/own_x_server' '" +
                                QCoreApplication::applicationFilePath() + "' --gtest_filter=" +
                                testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "." +
                                testing::UnitTest::GetInstance()->current_test_info()->name();
        EXPECT_EQ(std::system(command.toLocal8Bit().constData()), 0);
        return;
    }
    // In memory where there is a tmpfs: made and removed in seconds, read as from the page cache.
    const QTemporaryDir folders((QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath()) + "/shell_tests-XXXXXX");
    for (int i = 0; i < 400; ++i)
        for (int j = -1; j < 499; ++j) // the folder itself, then its 499
            ::mkdir(qPrintable(folders.path() + QString::asprintf("/%03d", i) + (j < 0 ? "" : QString::asprintf("/%03d", j))), 0700);
    ASSERT_TRUE(QFileInfo(folders.path() + "/399/498").isDir());
    QWidget below;
    const QColor blue(40, 90, 160);
    below.setPalette(QPalette(blue));
    below.setAutoFillBackground(true);
    below.setGeometry(0, 0, 1280, 800);
    below.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&below));
    Vexa::DicomImportDialog dialog(&below, &manager);
    dialog.setBasePath(folders.path().toStdString());
    auto* status = dialog.findChild<QLineEdit*>("m_Status");
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    QPoint spot; // in the empty list's white
    QElapsedTimer clock, sinceTick;
    qint64 stall = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] { stall = std::max(stall, sinceTick.restart()); });
    std::atomic<qint64> typed{-1};
    std::thread typist;
    QString statusAtEscape;
    const int exec = ShellTest::runModal(dialog, [&] {
        whenReady(&dialog, [&] {
            spot = list->mapToGlobal(list->rect().center());
            if (!status->text().startsWith(folders.path() + "/") || screenPixel(spot) != list->palette().color(QPalette::Base))
                return false; // until the scan has begun and the dialog shows
            dialog.screen()->grabWindow(0).save(MORVANTA_BINARY_DIR "/tests/shell/import_escape_scanning.png");
            clock.start();
            sinceTick.start();
            probe.start(10);
            QTimer::singleShot(300, &dialog, [&] {
                statusAtEscape = status->text();
                const QString command = QString("xdotool windowfocus --sync %1 key Escape").arg(dialog.winId());
                typist = std::thread([&typed, &clock, command] {
                    typed = clock.elapsed();
                    std::system(command.toLocal8Bit().constData());
                });
            });
            return true;
        });
    });
    const qint64 closed = clock.elapsed();
    if (typist.joinable())
        typist.join();
    while (screenPixel(spot) != blue && clock.elapsed() < closed + 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    const qint64 gone = clock.elapsed();
    dialog.screen()->grabWindow(0).save(MORVANTA_BINARY_DIR "/tests/shell/import_escape_closed.png");
    std::printf("Escape at %lld ms into the scan; the dialog closed %lld ms and left the screen %lld ms after it; "
                "longest stall of the event loop %lld ms\n", qint64(typed), closed - typed, gone - typed, stall);
    EXPECT_EQ(exec, 0);
    EXPECT_TRUE(statusAtEscape.startsWith(folders.path() + "/")) << "the scan still walked at the Escape";
    EXPECT_LT(gone - typed, 1000) << "from Escape to the dialog off the screen";
    EXPECT_LT(stall, 500) << "the window stopped repainting";
}
