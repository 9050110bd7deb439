#include "shell/dialogs/LoadPlanningDialog.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "vexa/core/ExceptionStack.h"

#include "ShellTestSupport.h"
#include "shell/widgets/FolderWalk.h"
#include "common/TestSupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QScrollBar>
#include <QTextEdit>
#include <QTest>
#include <QTreeWidget>
#include <QScreen>
#include <QStyleHints>
#include <QDateTime>
#include <QRegularExpression>
#include <QTimer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

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

// The list is made in a thread of its own: whole once the dialog says so.
bool whole(const LoadPlanningDialog& dialog)
{
    return QTest::qWaitFor([&] { return !dialog.isListing(); }, 60000);
}

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
            EXPECT_TRUE(whole(dialog));
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
    // implant count, the cut transform (the reader would refuse them), the newer format and the
    // incomplete series, once a scan (in the list's thread).
    std::ostringstream trail;
    Vexa::ExceptionStack::getInstance()->dump(trail);
    int records = 0;
    std::istringstream lines(trail.str());
    for (std::string line; std::getline(lines, line);)
        records += line.find("readFromFile") != std::string::npos;
    EXPECT_EQ(records, 14);
}

// The plannings left out are named below the list with their reasons, one line each, and the
// buttons move below them, as are patient folders without any planning; without any, the dialog
// keeps its size.
TEST_F(LoadPlanningDialogTest, NamesTheLeftOutPlanningsBelowTheList)
{
    const QString header = "Not listed, because they cannot be loaded:", without = "Patient folders without plannings:";
    std::filesystem::create_directories(dir.file("empty"));
    std::filesystem::create_directories(dir.file("unreadable"));
    std::filesystem::copy(dir.file("incomplete/Whole"), dir.file("unreadable/Whole"));
    const struct
    {
        const char* base;
        int rows;
        QStringList leftOut;
        const char* locked = nullptr; // a folder or file this user may not read
    } cases[] = {
        {"locked", 0, {"Folders not looked into, because they cannot be read:", dir.qpath() + "/locked: Permission denied"}, "locked"},
        {"unreadable", 0, {header, "Whole: the planning file cannot be read (Permission denied)"}, "unreadable/Whole/Whole.srl"},
        {"no such folder", 0, {without, dir.qpath() + "/no such folder: the folder is missing"}},
        {"empty", 0, {without, dir.qpath() + "/empty: the folder is empty"}},
        {"patients/Alpha", 1, {}},
        {"patients",
         4,
         {header,
          "Damaged/count.srl: the planning file holds an invalid value of \"implant\" in [Implant]",
          "Damaged/cut.srl: the planning file holds an invalid value of \"transform0\" in [Implant]",
          "Damaged/escape.srl: the planning file holds an invalid value of \"dicomFile0\" in [ImageData]",
          "Damaged/junk.srl: the planning file names the DICOM file junk.dcm, which is no readable DICOM file",
          "Damaged/missing.srl: the planning file misses the key \"birthday\" in [Patient]",
          "Newer/plan.srl: the planning file was saved by a newer program version (2.1.0)",
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
        auto* area = dialog.findChild<QTextEdit*>("m_LeftOut");
        auto* cancel = dialog.findChild<QPushButton*>("m_buttonCancel");
        int rows = -1;
        bool shown = false, scrolls = true;
        QRect areaRect, buttons;
        QSize size;
        // Root reads every folder: the list is made as another account then.
        const bool root = ::geteuid() == 0;
        if (c.locked)
        {
            ASSERT_TRUE(QFileInfo::exists(dir.qpath() + "/" + c.locked) || QDir().mkpath(dir.qpath() + "/" + c.locked));
            ASSERT_EQ(::chmod(dir.file(c.locked).c_str(), 0), 0);
            // The other account may pass through the scratch folder.
            ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
            ASSERT_TRUE(!root || ::setresuid(65534, 65534, 0) == 0);
        }
        ShellTest::runModal(dialog, [&] {
            EXPECT_TRUE(whole(dialog));
            rows = list->topLevelItemCount();
            shown = area->isVisible();
            scrolls = area->horizontalScrollBar()->maximum() > 0 || area->verticalScrollBar()->maximum() > 0;
            areaRect = area->geometry();
            buttons = cancel->parentWidget()->geometry();
            size = dialog.size();
            dialog.reject();
        });
        if (c.locked && root)
        {
            EXPECT_EQ(::setresuid(0, 0, 0), 0);
        }
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(shown, !c.leftOut.isEmpty());
        if (!shown)
        {
            EXPECT_EQ(size, QSize(904, 441));
            EXPECT_EQ(buttons, QRect(670, 380, 220, 50));
            continue;
        }
        EXPECT_EQ(area->toPlainText().toStdString(), c.leftOut.join('\n').toStdString());
        // Every line shows whole, between the list and the buttons, inside the dialog.
        EXPECT_FALSE(scrolls);
        EXPECT_TRUE(areaRect.top() > list->geometry().bottom() && buttons.top() > areaRect.bottom());
        EXPECT_TRUE(QRect(QPoint(), size).contains(buttons));
    }
}

// What is wrong with a planning that cannot be loaded is told as it is, on a screen of 1280 x 1024
// where a long folder name wraps rather than being cut; copies of one planning name their
// folders. The program's own study file is passed over.
TEST_F(LoadPlanningDialogTest, TellsTheTrueReasonAndTellsCopiesApart)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (QGuiApplication::primaryScreen()->size() != QSize(1280, 1024))
    {
        // Again on a screen of that size.
        TestSupport::PrivateXServer screen("1280x1024x24");
        ASSERT_TRUE(screen.running());
        QProcess inner;
        inner.setProcessEnvironment(screen.environment());
        inner.setProcessChannelMode(QProcess::MergedChannels);
        inner.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=LoadPlanningDialogTest.TellsTheTrueReasonAndTellsCopiesApart"});
        ASSERT_TRUE(inner.waitForFinished(120000));
        const QString output = QString::fromLocal8Bit(inner.readAll());
        EXPECT_TRUE(inner.exitCode() == 0 && output.contains("[  PASSED  ] 1 test.")) << output.toStdString();
        return;
    }
    const std::string alpha = TestSupport::readFile(dir.file("patients/Alpha/plan.srl"));
    const auto planning = [&](const std::string& folder, const std::string& text) {
        const std::string name = std::filesystem::path(folder).filename().string();
        std::filesystem::create_directories(dir.file("more/" + folder));
        std::ofstream(dir.file("more/" + folder + "/" + name + ".srl"), std::ios::binary) << text;
        // With the series and the implant files the planning names.
        for (const auto& entry : std::filesystem::directory_iterator(dir.file("patients/Alpha")))
            if (entry.path().extension() != ".srl")
                std::filesystem::copy_file(entry.path(),
                                           std::filesystem::path(dir.file("more/" + folder)) / entry.path().filename());
    };
    const auto withVersion = [&](const std::string& version) {
        return QString::fromStdString(alpha).replace("version = 2.0.9", "version = " + QString::fromStdString(version)).toStdString();
    };
    const std::string longName = "2024-05-01__10-00-00-7_" + std::string(60, 'x') + "_" + std::string(60, 'y') + "_end";
    const struct
    {
        std::string folder, text, reason;
    } cases[] = {
        {"2024-05-01__10-00-00-1", "", "the planning file is empty"},
        {"2024-05-01__10-00-00-2", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) + std::string(300, '\xff'),
         "the planning file holds binary data, not the text of a planning"},
        {"2024-05-01__10-00-00-3", withVersion("two point oh"),
         "the planning file holds an invalid value of \"version\" in [Planningdata]: \"two point oh\" is no version number"},
        {"2024-05-01__10-00-00-4", withVersion("3.1.0"), "the planning file was saved by a newer program version (3.1.0)"},
        {"2024-05-01__10-00-00-5", "[Patient]\nname = Nobody\n", "the planning file holds no group [Planningdata]: it is no planning"},
        {longName, "", "the planning file is empty"},
    };
    QStringList expected{"Not listed, because they cannot be loaded:"};
    for (const auto& c : cases)
    {
        planning(c.folder, c.text);
        expected << QString::fromStdString(c.folder + ": " + c.reason);
    }
    planning("MorvantaStudyDummy", "[Patient]\nname = Morvanta Study Dummy\nbirthday = 18991230\nsex = \nid = Dummy\n"
                                   "[Planningdata]\nversion = P100.0.0\nlastModified = 01/01/2004 00:00:00\n"
                                   "implantregion = 0\n[Implant]\nimplant = 0\n");
    planning("2024-05-02__09-00-00-1", alpha);
    planning("2024-05-02__09-00-00-1 copy", alpha);

    LoadPlanningDialog dialog(nullptr, &manager);
    dialog.setBasePaths({dir.file("more")});
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    auto* leftOut = dialog.findChild<QTextEdit*>("m_LeftOut");
    QStringList rows;
    bool scrolls = true, fits = false;
    int longLines = 0;
    ShellTest::runModal(dialog, [&] {
        if (!QTest::qWaitForWindowExposed(&dialog)) {
            ADD_FAILURE() << "the dialog never showed";
            dialog.reject();
            return;
        }
        EXPECT_TRUE(whole(dialog));
        rows = ShellTest::rowTexts(list, {1, 4});
        scrolls = leftOut->horizontalScrollBar()->maximum() > 0 || leftOut->verticalScrollBar()->maximum() > 0;
        fits = dialog.screen()->geometry().contains(dialog.frameGeometry());
        longLines = leftOut->document()->findBlockByNumber(int(std::size(cases))).layout()->lineCount();
        dialog.screen()->grabWindow(0).save(MORVANTA_BINARY_DIR "/tests/shell/load_planning_1280x1024.png");
        dialog.reject();
    });
    EXPECT_EQ(leftOut->toPlainText().toStdString(), expected.join('\n').toStdString());
    EXPECT_FALSE(scrolls) << "every line shows whole";
    EXPECT_GT(longLines, 1) << "the long folder name wraps";
    EXPECT_TRUE(fits);
    rows.sort();
    EXPECT_EQ(rows.join(" / ").toStdString(), "Alpha\nin 2024-05-02__09-00-00-1 copy|3 / Alpha\nin 2024-05-02__09-00-00-1|3");
}

// A planning is listed only when the files its load reads are there and hold something: its
// implant descriptions, the surfaces they name and every slice, as long as the pixels the first
// slice's header gives each slice. The others are named with what is wrong.
TEST_F(LoadPlanningDialogTest, LeavesOutPlanningsWhoseFilesAreMissingOrCutShort)
{
    const QString header = "Not listed, because they cannot be loaded:";
    const std::string cut = std::to_string(std::filesystem::file_size(dir.file("incomplete/CutSlice/slice.dcm")));
    const struct
    {
        const char* planning;
        std::string reason; // empty: listed
    } cases[] = {
        {"CutSlice", "the planning file names the DICOM file slice.dcm, which is cut short: it holds " + cut +
                         " bytes, its image of 64 x 64 pixels needs 8192"},
        {"EmptySlice", "the planning file names the DICOM file slice.dcm, which is empty"},
        {"EmptySurface", "the planning file names the implant description implant0.implant, whose implant surface "
                         "implant.sff is empty"},
        {"NoDescription", "the planning file names the implant description implant0.implant, which is missing"},
        {"NoSurface", "the planning file names the implant description implant0.implant, whose implant surface "
                      "implant.sff is missing"},
        {"Whole", ""},
    };
    QStringList listed, leftOut{header};
    for (const auto& c : cases)
        if (c.reason.empty())
            listed << c.planning;
        else
            leftOut << QString::fromStdString(c.planning + (": " + c.reason));

    LoadPlanningDialog dialog(nullptr, &manager);
    dialog.setBasePaths({dir.file("incomplete")});
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    auto* area = dialog.findChild<QTextEdit*>("m_LeftOut");
    QStringList rows;
    ShellTest::runModal(dialog, [&] {
        EXPECT_TRUE(whole(dialog));
        rows = ShellTest::rowTexts(list, {1});
        dialog.reject();
    });
    EXPECT_EQ(rows, listed);
    EXPECT_EQ(area->toPlainText().toStdString(), leftOut.join('\n').toStdString());
}

// The list fills while the dialog shows: a planning found is a row at once while the list looks
// on, held here at a folder as by a file server that does not answer, the line below the list
// saying where it looks; Escape typed on the X server closes the dialog at once, and the held look
// is not waited for.
TEST_F(LoadPlanningDialogTest, FillsWhileItLooksAndEscapeClosesItAtOnce)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, open = false;
    FolderWalk::setOpenObserver([&](const QString& folder) {
        if (!folder.endsWith("/Partial"))
            return;
        std::unique_lock lock(mutex);
        held = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
    });
    const auto isHeld = [&] {
        std::lock_guard lock(mutex);
        return held;
    };
    LoadPlanningDialog dialog(nullptr, &manager);
    dialog.setBasePaths({dir.file("patients")});
    auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
    auto* state = dialog.findChild<QLabel*>("m_ListState");
    QStringList rows;
    QString said, shown;
    bool listing = false;
    QElapsedTimer clock;
    const int exec = ShellTest::runModal(dialog, [&] {
        EXPECT_TRUE(QTest::qWaitFor([&] { return isHeld() && list->topLevelItemCount() == 4 && state->isVisible(); }, 9000));
        rows = ShellTest::rowTexts(list, {1});
        said = state->toolTip();
        shown = state->text();
        listing = dialog.isListing();
        dialog.grab().save(MORVANTA_BINARY_DIR "/tests/shell/load_planning_listing.png");
        clock.start();
        QProcess::execute("xdotool", {"windowfocus", "--sync", QString::number(dialog.winId()), "key", "Escape"});
    });
    const qint64 closed = clock.elapsed();
    EXPECT_EQ(exec, 0);
    EXPECT_LT(closed, 3000);
    EXPECT_TRUE(listing);
    EXPECT_EQ(rows, (QStringList{"Beta", "Alpha", "Gamma", "Short"}));
    EXPECT_EQ(said, "Looking for plannings in " + dir.qpath() + "/patients");
    EXPECT_TRUE(shown.endsWith("/patients")) << shown.toStdString();
    EXPECT_EQ(LoadPlanningDialog::threadsOut(), 1);
    {
        std::lock_guard lock(mutex);
        open = true;
    }
    changed.notify_all();
    EXPECT_TRUE(QTest::qWaitFor([] { return LoadPlanningDialog::threadsOut() == 0; }, 60000));
    FolderWalk::setOpenObserver({});
}

namespace {

// Runs `exec` of the dialog while `action` runs in its loop; a dialog still open after two minutes
// is ended with 99, so a broken dialog fails the test instead of hanging it.
int runLong(LoadPlanningDialog& dialog, std::function<void()> action)
{
    QTimer::singleShot(0, &dialog, [action] { action(); });
    QTimer::singleShot(120000, &dialog, [&dialog] { dialog.QDialog::done(99); });
    return dialog.exec();
}

// The rows in the list's view: where each shows, and the patient.
QStringList rowsInView(const QTreeWidget* list)
{
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (const QRect rect = list->visualItemRect(list->topLevelItem(i)); rect.intersects(list->viewport()->rect()))
            rows << QString("%1 %2").arg(rect.top()).arg(list->topLevelItem(i)->text(1));
    return rows;
}

}

// A slow share gives its plannings newest last (saved plannings' folders are named by their date)
// while the user picks one with the pointer on the X server: the rows in view and the picked one
// stay where the user saw them, the picked one in view, and Ok, or a double click whose second
// press comes after more plannings came in, loads the picked planning.
TEST_F(LoadPlanningDialogTest, RowsStayWhereTheUserSawThemWhileTheListFills)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    // More plannings than the list shows at once; the later ones come in once a row is picked.
    constexpr int count = 16, early = 12;
    const QString whole = QString::fromStdString(TestSupport::readFile(dir.file("incomplete/Whole/Whole.srl")));
    for (int day = 1; day <= count; ++day)
    {
        const QString number = QString("%1").arg(day, 2, 10, QChar('0')), name = "2024-05-" + number + "__10-00-00-1";
        const std::filesystem::path folder = dir.file("feed/" + name.toStdString());
        std::filesystem::create_directories(folder.parent_path());
        std::filesystem::copy(dir.file("incomplete/Whole"), folder);
        std::filesystem::rename(folder / "Whole.srl", folder / (name + ".srl").toStdString());
        std::ofstream(folder / (name + ".srl").toStdString()) << QString(whole)
                                                                    .replace("name = Whole", "name = Patient " + number)
                                                                    .replace("01/01/2006", "05/" + number + "/2024")
                                                                    .toStdString();
    }
    std::mutex mutex;
    std::condition_variable changed;
    int allowed = 0;
    FolderWalk::setOpenObserver([&](const QString& folder) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return allowed > 0 || !folder.contains("/feed/2024-"); });
        allowed -= folder.contains("/feed/2024-");
    });
    const auto allow = [&](int more) {
        std::lock_guard lock(mutex);
        allowed = more;
        changed.notify_all();
    };
    // A double click whose presses lie far apart on a loaded machine is still one.
    const int interval = QGuiApplication::styleHints()->mouseDoubleClickInterval();
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(60000);
    // The server takes one client's motion and presses in order: no --sync, which waits for ever
    // where the pointer stands at the place already.
    const auto clickAt = [](const QWidget* widget, const QPoint& at) {
        const QPoint global = widget->mapToGlobal(at);
        QProcess::execute("xdotool", {"mousemove", QString::number(global.x()), QString::number(global.y()), "click", "1"});
    };
    for (const bool ok : {true, false})
    {
        SCOPED_TRACE(ok ? "Ok" : "double click");
        allow(early);
        LoadPlanningDialog dialog(nullptr, &manager);
        dialog.setBasePaths({dir.file("feed")});
        auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
        QStringList seen, shown;
        QString picked;
        bool stays = false, inView = false;
        const int exec = runLong(dialog, [&] {
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog) &&
                        QTest::qWaitFor([&] { return list->topLevelItemCount() == early; }, 60000));
            QTreeWidgetItem* row = list->topLevelItem(2);
            picked = row->text(1);
            clickAt(list->viewport(), list->visualItemRect(row).center());
            ASSERT_TRUE(QTest::qWaitFor([&] { return list->selectedItems() == QList<QTreeWidgetItem*>{row}; }, 30000));
            seen = rowsInView(list);
            allow(count - early);
            EXPECT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == count && !dialog.isListing(); }, 60000));
            shown = rowsInView(list);
            dialog.grab().save(MORVANTA_BINARY_DIR "/tests/shell/load_planning_filled.png");
            stays = list->selectedItems() == QList<QTreeWidgetItem*>{row};
            inView = list->viewport()->rect().contains(list->visualItemRect(row));
            auto* button = dialog.findChild<QPushButton*>("m_buttonOk");
            if (ok)
                clickAt(button, button->rect().center());
            else // the second press of the double click, where the first was
                QProcess::execute("xdotool", {"click", "1"});
        });
        EXPECT_EQ(exec, 1);
        EXPECT_EQ(shown, seen);
        EXPECT_TRUE(stays && inView);
        EXPECT_EQ(QString::fromStdString(dialog.getSelectedPlanningFileName()).section('/', -1),
                  "2024-05-" + picked.section(' ', -1) + "__10-00-00-1.srl");
    }
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(interval);
    FolderWalk::setOpenObserver({});
}

// A patient folder that does not answer, held in the start's wait or in a file call, holds up only
// its own rows: the next folder's plannings show, and the line below the list says which folder
// has not answered since when. The held thread is not waited for when the dialog closes.
TEST_F(LoadPlanningDialogTest, AFolderThatDoesNotAnswerHoldsUpOnlyItsOwnRows)
{
    const QString dead = dir.qpath() + "/incomplete";
    std::mutex mutex;
    std::condition_variable changed;
    bool answers = false;
    QDateTime heldAt;
    const auto hold = [&](const std::atomic<bool>* cancelled) {
        std::unique_lock lock(mutex);
        heldAt = QDateTime::currentDateTime();
        changed.wait(lock, [&] { return answers || (cancelled && cancelled->load()); });
    };
    const auto answer = [&](bool now) {
        std::lock_guard lock(mutex);
        answers = now;
        changed.notify_all();
    };
    for (const bool inWait : {true, false})
    {
        SCOPED_TRACE(inWait ? "in the start's wait" : "in a file call");
        answer(false);
        LoadPlanningDialog dialog(nullptr, &manager);
        dialog.setBasePaths({dead.toStdString(), dir.file("patients/Alpha")});
        if (inWait)
            dialog.setFolderWait([&](const std::string& folder, const std::atomic<bool>* cancelled) {
                if (QString::fromStdString(folder) == dead)
                    hold(cancelled);
                return !cancelled->load();
            }, [&] {
                std::lock_guard lock(mutex);
                changed.notify_all();
            });
        else
            FolderWalk::setOpenObserver([&](const QString& folder) {
                if (folder == dead)
                    hold(nullptr);
            });
        auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
        auto* state = dialog.findChild<QLabel*>("m_ListState");
        QStringList rows;
        QString said, shown;
        runLong(dialog, [&] {
            EXPECT_TRUE(QTest::qWaitFor([&] { return list->topLevelItemCount() == 1 && state->toolTip().contains(" since "); },
                                        60000));
            rows = ShellTest::rowTexts(list, {1});
            said = state->toolTip();
            shown = state->text();
            dialog.grab().save(QString(MORVANTA_BINARY_DIR "/tests/shell/load_planning_silent_%1.png").arg(inWait ? "wait" : "call"));
            dialog.reject();
        });
        EXPECT_EQ(rows, QStringList{"Alpha"});
        // Since the hold began: the list heard of the folder last just before.
        const QString says = inWait ? "Waiting since %1 for the start to finish what earlier sessions left in " + dead
                                    : "No answer since %1 from the patient folder " + dead;
        std::unique_lock lock(mutex);
        QStringList expected;
        for (const QDateTime& time : {heldAt, heldAt.addSecs(-1)})
            expected << QRegularExpression::escape(says.section("%1", 0, 0)) + time.toString("hh:mm:ss") +
                            " \\([0-9]+ s\\)" + QRegularExpression::escape(says.section("%1", 1));
        lock.unlock();
        EXPECT_TRUE(QRegularExpression("^(" + expected.join('|') + ")$").match(said).hasMatch()) << said.toStdString();
        // Shortened in the middle: the folder's own name stays in sight.
        EXPECT_TRUE(shown.startsWith(said.left(12)) && shown.endsWith("/incomplete")) << shown.toStdString();
        EXPECT_EQ(LoadPlanningDialog::threadsOut(), inWait ? 0 : 1);
        answer(true);
        EXPECT_TRUE(QTest::qWaitFor([] { return LoadPlanningDialog::threadsOut() == 0; }, 60000));
        FolderWalk::setOpenObserver({});
    }
}
