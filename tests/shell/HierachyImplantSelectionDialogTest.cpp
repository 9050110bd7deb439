#include "shell/dialogs/HierachyImplantSelectionDialog.h"

#include "planning/objects/Implant.h"
#include "shell/dialogs/MessageDialog.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QLabel>
#include <QProcess>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace {

class ImplantSelectionTest : public testing::Test
{
protected:
    ImplantSelectionTest()
    {
        HierachyImplantSelectionDialog::forgetDatabase();
        setenv("MORVANTA_HOME", MORVANTA_BINARY_DIR "/app", 1); // the check bitmaps
        EXPECT_EQ(QProcess::execute("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tools/make_implant_database.py", db}), 0);
        const QString model = db + "/Quillon Medical/Q-Line/QM-L-D41-L100";
        // Entries that do not qualify, one without a shoulder, a family named like a company, a
        // second folder of a catalogue family, a broken mesh and a non-ASCII name.
        variant("NoPicture/X", "Variant Co", "No Picture", model, {".sff"});
        variant("Dots/A.B", "Variant Co", "Dots", model, {".sff", ".bmp"});
        variant("NoShoulder/S", "Variant Co", "No Shoulder", model, {".sff", ".bmp"}, false);
        variant("Named/N", "Variant Co", "Quillon Medical", model, {".sff", ".bmp"});
        variant("Again/Q", "Quillon Medical", "Q-Line", model, {".sff", ".bmp"});
        variant("Broken/B", "Variant Co", "Broken", model, {".bmp"});
        std::ofstream((db + "/Broken/B.sff").toStdString()) << "not a mesh";
        variant("Z\u00e4hne/\u00d8-Implant", "Variant Co", "\u00d8 Implant", model, {".sff", ".bmp"});
        std::ofstream((db + "/selection.db").toStdString(), std::ios::app) << db.toStdString() << "/Gone/old.implant\n";
    }
    void variant(const QString& base, const QString& company, const QString& name, const QString& model,
                 const QStringList& copies, bool shoulder = true)
    {
        QDir().mkpath(QFileInfo(db + "/" + base).absolutePath());
        for (const QString& extension : copies)
            QFile::copy(model + extension, db + "/" + base + extension);
        QFile file(db + "/" + base + ".implant");
        file.open(QIODevice::WriteOnly);
        file.write(("[Implantdata]\nname=" + name + "\ncompany=" + company + "\nreference=R\ncomment=v\nlength=10\ndiameter=4.1\n" +
                    (shoulder ? "shoulder=4.8\n" : "") + "surfacefile=" + QFileInfo(base).fileName() + ".sff\n")
                       .toUtf8());
    }
    struct Open
    {
        explicit Open(const QString& db) : dialog(db, true, nullptr)
        {
            auto* stack = dialog.findChild<QStackedWidget*>();
            all = static_cast<QTreeWidget*>(stack->widget(0));
            selection = static_cast<QTreeWidget*>(stack->widget(1));
            ok = ShellTest::buttonsInOrder(dialog).back();
        }
        // The family row of the tree; null when there is none.
        QTreeWidgetItem* family(const QString& company, const QString& name) const
        {
            for (int c = 0; c < all->topLevelItemCount(); ++c)
                for (int f = 0; all->topLevelItem(c)->text(0) == company && f < all->topLevelItem(c)->childCount(); ++f)
                    if (all->topLevelItem(c)->child(f)->text(0) == name)
                        return all->topLevelItem(c)->child(f);
            return nullptr;
        }
        HierachyImplantSelectionDialog dialog;
        QTreeWidget* all;
        QTreeWidget* selection;
        QPushButton* ok;
    };
    static QStringList texts(const QTreeWidgetItem* parent)
    {
        QStringList t;
        for (int i = 0; i < parent->childCount(); ++i)
            t << parent->child(i)->text(0);
        return t;
    }
    TestSupport::ScratchDir dir;
    QString db = dir.qpath() + "/ImplantDatabase";
};

}

TEST_F(ImplantSelectionTest, TreeLabelsShortListAndItsFile)
{
    {
        Open o(db);
        EXPECT_EQ(o.selection->topLevelItemCount(), 3) << "the stale line matches nothing";
        EXPECT_EQ(o.dialog.findChild<QStackedWidget*>()->currentWidget(), o.selection) << "starts with the short list";
        QStringList companies = texts(o.all->invisibleRootItem());
        companies.sort();
        EXPECT_EQ(companies, QStringList({"Altavis Dental", "Brenholt Implant Systems", "Quillon Medical", "Variant Co"}));
        int sizes = 0;
        for (int c = 0; c < o.all->topLevelItemCount(); ++c)
            for (int f = 0; f < o.all->topLevelItem(c)->childCount(); ++f)
                sizes += o.all->topLevelItem(c)->child(f)->childCount();
        EXPECT_EQ(sizes, 61 + 5) << "no picture and A.B.implant are left out";
        const auto family = [&](const QString& company, const QString& name) { return o.family(company, name); };
        EXPECT_EQ(texts(family("Altavis Dental", "Conical Pro")).front(), " \u00D8 3.30 S\u00D8 3.80 L 8.00 tapered");
        EXPECT_EQ(texts(family("Variant Co", "No Shoulder")), QStringList(" \u00D8 4.10 S\u00D8  ?   L10.00 v"))
            << "a size never read shows no number";
        EXPECT_EQ(texts(family("Quillon Medical", "Q-Line")).size(), 15 + 1) << "two folders share one family row";
        ASSERT_NE(family("Variant Co", "Quillon Medical"), nullptr);
        EXPECT_TRUE(o.selection->topLevelItem(0)->text(0).startsWith(" Altavis Dental \u00D8 ")) << "a gap after 14 letters";

        // Company and family rows: no OK. A press inside a size row's check box puts it on the list.
        QTest::mouseClick(ShellTest::buttonsInOrder(o.dialog).front(), Qt::LeftButton); // "Show Selection"
        ASSERT_EQ(o.dialog.findChild<QStackedWidget*>()->currentWidget(), o.all);
        QTreeWidgetItem* noShoulder = family("Variant Co", "No Shoulder");
        noShoulder->parent()->setExpanded(true);
        noShoulder->setExpanded(true);
        for (QTreeWidgetItem* row : {noShoulder->parent(), noShoulder})
        {
            o.all->setCurrentItem(row);
            EXPECT_FALSE(o.ok->isEnabled());
        }
        o.dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&o.dialog));
        // Scrolled into view first, as a person would.
        o.all->scrollToItem(noShoulder->child(0));
        QTest::mouseClick(o.all->viewport(), Qt::LeftButton, {},
                          o.all->visualItemRect(noShoulder->child(0)).topLeft() + QPoint(4, 4));
        EXPECT_TRUE(o.ok->isEnabled());
    }
    QFile file(db + "/selection.db");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString saved = file.readAll();
    // Relative to the database; a line that names no implant stays as it was.
    EXPECT_EQ(saved.count('\n'), 5);
    EXPECT_TRUE(saved.startsWith("Altavis Dental/")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\nNoShoulder/S.implant\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains(db + "/Gone/old.implant\n"));

    for (bool restart : {false, true}) // kept by the next dialog and after a restart
    {
        if (restart)
            HierachyImplantSelectionDialog::forgetDatabase();
        Open o(db);
        EXPECT_EQ(o.selection->topLevelItemCount(), 4) << restart;
    }
}

TEST_F(ImplantSelectionTest, ShortListSurvivesAMovedDatabase)
{
    // The generated short list names its implants by absolute paths; the whole folder moves.
    QFile old(db + "/selection.db");
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    const QByteArray absolute = old.readAll();
    old.close();
    ASSERT_TRUE(absolute.startsWith(db.toUtf8() + "/"));
    const QString moved = dir.qpath() + "/elsewhere/ImplantDatabase";
    QDir().mkpath(dir.qpath() + "/elsewhere");
    ASSERT_TRUE(QDir().rename(db, moved));
    const auto shortList = [&] {
        HierachyImplantSelectionDialog::forgetDatabase();
        Open o(moved);
        return ShellTest::rowTexts(o.selection, {0});
    };
    const QStringList expected = shortList();
    ASSERT_EQ(expected.size(), 3);
    // Closed with OK and with Cancel, the list stays: what it could not place among them.
    for (bool accept : {true, false})
    {
        HierachyImplantSelectionDialog::forgetDatabase();
        Open o(moved);
        o.selection->setCurrentItem(o.selection->topLevelItem(0));
        const auto buttons = ShellTest::buttonsInOrder(o.dialog); // Show Selection, Cancel, OK
        QTest::mouseClick(accept ? o.ok : buttons[1], Qt::LeftButton);
    }
    EXPECT_EQ(shortList(), expected);
    QFile file(moved + "/selection.db");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString saved = file.readAll();
    EXPECT_EQ(saved.count('\n'), 4) << saved.toStdString();
    EXPECT_EQ(saved.count(moved), 0) << "names relative to the database";
    EXPECT_TRUE(saved.contains(db + "/Gone/old.implant\n")) << "kept as it was";
}

// Choosing an entry that cannot be had answers with the implant's full name, its sizes as far as
// they were read and the reason, in the message itself; entries of the short list whose picture
// or surface has gone stay on it, named as not available. Shown, and pressed, in a real window.
TEST_F(ImplantSelectionTest, OkLoadsTheImplantOrAnswersWhyNot)
{
    const QString conical = "Altavis Dental/Conical Pro/AV-CP-D40-L100",
                  straight = "Altavis Dental/Straight Classic/AV-SC-D41-L120", qline = "Quillon Medical/Q-Line/QM-L-D48-L100";
    // A diameter in the wrong locale; a short-list surface and a short-list picture gone; a long
    // company name on the short list.
    QFile description(db + "/" + conical + ".implant");
    ASSERT_TRUE(description.open(QIODevice::ReadOnly));
    const QByteArray damaged = description.readAll().replace("diameter=4\n", "diameter=4,0\n");
    description.close();
    ASSERT_TRUE(description.open(QIODevice::WriteOnly | QIODevice::Truncate));
    description.write(damaged);
    description.close();
    ASSERT_TRUE(QFile::remove(db + "/" + straight + ".sff"));
    ASSERT_TRUE(QFile::remove(db + "/" + qline + ".bmp"));
    std::ofstream((db + "/selection.db").toStdString(), std::ios::app)
        << "Brenholt Implant Systems/BH Tapered/BH-T-D43-L110.implant\n";

    const char* artifacts = std::getenv("MORVANTA_ARTIFACTS");
    const auto screenshot = [&](const char* name) {
        if (artifacts)
            QGuiApplication::primaryScreen()->grabWindow(0).save(QString(artifacts) + "/" + name);
    };
    struct Case
    {
        const char* name;
        QString company, family; // a size row of the tree, or
        QString shortList;       // the start of a short-list row's first line
        QString row;             // the row's text ("": not checked)
        QString message;         // "": the implant loads
        bool okEnabled;
        const char* listShot = nullptr;    // screenshots of the list and of the message
        const char* messageShot = nullptr;
    } cases[] = {
        {"diameter not a number", "Altavis Dental", "Conical Pro", "", " \u00D8  ?   S\u00D8 4.50 L10.00 tapered",
         "The implant Altavis Dental Conical Pro (\u00D8 ?, S\u00D8 4.50, L 10.00) cannot be loaded.\n"
         "The diameter \"4,0\" is not a size above 0 mm.\nDescription file: " + conical + ".implant",
         true, "implant-damaged-row.png", "implant-damaged-message.png"},
        {"no shoulder", "Variant Co", "No Shoulder", "", "",
         "The implant Variant Co No Shoulder (\u00D8 4.10, S\u00D8 ?, L 10.00) cannot be loaded.\n"
         "The key \"shoulder\" is missing.\nDescription file: NoShoulder/S.implant",
         true},
        {"broken mesh", "Variant Co", "Broken", "", "",
         "The implant Variant Co Broken (\u00D8 4.10, S\u00D8 4.80, L 10.00) cannot be loaded.\n"
         "Error loading implant surface\n" + db +
             "/Broken/B.sff\nThe file is damaged: it holds no SFF or STL surface.\nDescription file: Broken/B.implant",
         true},
        {"surface gone", "", "", " Altavis Dental \u00D8 4.10 S\u00D8 4.80 L12.00 Straight Classic",
         " Altavis Dental \u00D8 4.10 S\u00D8 4.80 L12.00 Straight Classic\n"
         "   Not available: the surface AV-SC-D41-L120.sff is missing.",
         "The implant Altavis Dental Straight Classic (\u00D8 4.10, S\u00D8 4.80, L 12.00) is not available.\nThe surface "
         "AV-SC-D41-L120.sff is missing.\nDescription file: " + straight + ".implant",
         false, "implant-missing-surface.png", "implant-missing-surface-message.png"},
        {"picture gone", "", "", " Quillon Medical \u00D8 4.80", "",
         "The implant Quillon Medical Q-Line (\u00D8 4.80, S\u00D8 6.00, L 10.00) is not available.\nThe picture "
         "QM-L-D48-L100.bmp is missing.\nDescription file: " + qline + ".implant",
         false},
        {"long company", "", "", " Brenholt Implant Systems \u00D8 4.30",
         " Brenholt Implant Systems \u00D8 4.30 S\u00D8 4.60 L11.00 bone level BH Tapered", "", true,
         "implant-long-company.png"},
        {"non-ASCII name", "Variant Co", "\u00d8 Implant", "", "", "", true},
    };
    for (const Case& c : cases)
    {
        Open o(db);
        QTreeWidget* list = c.shortList.isEmpty() ? o.all : o.selection;
        o.dialog.findChild<QStackedWidget*>()->setCurrentWidget(list);
        QTreeWidgetItem* row = nullptr;
        if (c.shortList.isEmpty())
        {
            QTreeWidgetItem* family = o.family(c.company, c.family);
            ASSERT_NE(family, nullptr) << c.name;
            // The damaged size sorts after the sound ones.
            row = family->child(family->childCount() - 1);
        }
        else
        {
            for (int i = 0; !row && i < list->topLevelItemCount(); ++i)
                if (list->topLevelItem(i)->text(0).startsWith(c.shortList))
                    row = list->topLevelItem(i);
            ASSERT_NE(row, nullptr) << c.name;
        }
        if (!c.row.isEmpty())
        {
            EXPECT_EQ(row->text(0), c.row) << c.name;
        }
        QString message;
        bool okEnabled = false;
        QRgb preview = 0;
        const int exec = ShellTest::runModal(o.dialog, [&] {
            for (QTreeWidgetItem* parent = row->parent(); parent; parent = parent->parent())
                parent->setExpanded(true);
            list->scrollToItem(row);
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&o.dialog));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(row).center());
            okEnabled = o.ok->isEnabled();
            // Inside the picture's implant: black for an implant that is not there, metal otherwise.
            // Read from the dialog's own rendering: on a display shared with other tests another
            // window may lie over it.
            QCoreApplication::sendPostedEvents();
            preview = o.dialog.grab().toImage().pixel(692 + 60, 74 + 60);
            if (c.listShot)
                screenshot(c.listShot);
            QTimer::singleShot(0, &o.dialog, [&] {
                if (auto* box = qobject_cast<MessageDialog*>(QApplication::activeModalWidget()))
                {
                    message = ShellTest::labelTexts(*box).join("|");
                    if (c.messageShot && QTest::qWaitForWindowExposed(box))
                    {
                        QCoreApplication::sendPostedEvents(); // the box's layout settles
                        box->repaint();
                        screenshot(c.messageShot);
                    }
                    box->done(0);
                }
                if (o.dialog.isVisible())
                    o.dialog.reject();
            });
            ShellTest::doubleClick(list, row);
        });
        EXPECT_EQ(message, c.message) << c.name;
        EXPECT_EQ(exec, c.message.isEmpty() ? 1 : 0) << c.name << ": " << message.toStdString();
        EXPECT_EQ(okEnabled, c.okEnabled) << c.name;
        EXPECT_EQ(qGray(preview) == 0, !c.okEnabled) << c.name;
        const auto implant = o.dialog.getSelectedImplant();
        EXPECT_EQ(implant != nullptr, c.message.isEmpty()) << c.name;
    }
    // The entries that are not available stay on the short list, to come back with their files.
    QFile file(db + "/selection.db");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString saved = file.readAll();
    EXPECT_TRUE(saved.contains(straight + ".implant\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains(qline + ".implant\n")) << saved.toStdString();
}
