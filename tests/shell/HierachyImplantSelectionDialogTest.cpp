#include "shell/dialogs/HierachyImplantSelectionDialog.h"

#include "planning/objects/Implant.h"
#include "shell/dialogs/MessageDialog.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>
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
        EXPECT_EQ(texts(family("Variant Co", "No Shoulder")), QStringList(" \u00D8 4.10 S\u00D8 0.00 L10.00 v"));
        EXPECT_EQ(texts(family("Quillon Medical", "Q-Line")).size(), 15 + 1) << "two folders share one family row";
        ASSERT_NE(family("Variant Co", "Quillon Medical"), nullptr);
        EXPECT_TRUE(o.selection->topLevelItem(0)->text(0).startsWith(" Altavis Dental\u00D8 "));

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

TEST_F(ImplantSelectionTest, OkLoadsTheImplantOrAnswersABrokenOne)
{
    for (const QString& name : {QString("Broken"), QString("\u00d8 Implant")})
    {
        Open o(db);
        o.dialog.findChild<QStackedWidget*>()->setCurrentWidget(o.all);
        QTreeWidgetItem* row = o.family("Variant Co", name)->child(0);
        QString message;
        const int exec = ShellTest::runModal(o.dialog, [&] {
            o.all->setCurrentItem(row);
            QTimer::singleShot(0, [&] {
                if (auto* box = qobject_cast<MessageDialog*>(QApplication::activeModalWidget()))
                {
                    message = box->findChild<QLabel*>()->text();
                    box->done(0);
                }
                o.dialog.reject();
            });
            QTest::mouseClick(o.ok, Qt::LeftButton);
        });
        const bool broken = name == "Broken";
        EXPECT_EQ(exec, broken ? 0 : 1) << message.toStdString();
        EXPECT_EQ(message, broken ? "The implant Broken cannot be loaded." : "");
        const auto implant = o.dialog.getSelectedImplant();
        EXPECT_EQ(implant ? QString::fromStdString(implant->getName()) : QString(), broken ? QString() : name);
        EXPECT_TRUE(o.dialog.isMandibleSelected());
    }
}
