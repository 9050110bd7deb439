// The platform's undo and redo keys in the real program, pressed on its X server: an implant
// exchanged through the planning panel, undone with the Undo key and brought back with the Redo
// key. Each state is saved as a new planning and read back from its file.
#include "AppTestSupport.h"

#include "planning/io/PlanningFile.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/main/MainWindow.h"

#include <QKeySequence>
#include <QListWidget>
#include <QStackedWidget>
#include <gtest/gtest.h>

namespace {

using AppTest::windowNamed;
using AppTest::xdotool;

// Where the program's window and its implant dialog put what the test presses, and the file name
// of the planned implant's description.
struct Planned
{
    QPoint implantRow, exchange;     // in the main window
    QPoint secondShortRow, okButton; // in "Implant Selection"
    std::string implant;
};

// A planning of the sample patient with the implant of the short list's first row, saved by a
// window on a screen of the program's size.
Planned savePlanningWithImplant(const AppTest::AppFolder& home)
{
    Planned planned;
    MainWindow window(nullptr, Constants::NormalMode);
    EXPECT_TRUE(AppTest::layOutAsTheProgram(window));
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    EXPECT_TRUE(window.importVolumeData(files));
    HierachyImplantSelectionDialog::forgetDatabase();
    std::shared_ptr<Implant> implant;
    {
        HierachyImplantSelectionDialog dialog(home.path("ImplantDatabase/"), true, nullptr);
        dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        auto* shortList = static_cast<QTreeWidget*>(dialog.findChild<QStackedWidget*>()->currentWidget());
        EXPECT_GE(shortList->topLevelItemCount(), 2) << "the dialog opens on the short list";
        planned.secondShortRow =
            shortList->viewport()->mapTo(&dialog, shortList->visualItemRect(shortList->topLevelItem(1)).center());
        QPushButton* ok = ShellTest::buttonsInOrder(dialog).back();
        planned.okButton = ok->mapTo(&dialog, ok->rect().center());
        shortList->setCurrentItem(shortList->topLevelItem(0));
        dialog.ok();
        implant = dialog.getSelectedImplant();
    }
    HierachyImplantSelectionDialog::forgetDatabase();
    if (!implant)
        return planned;
    planned.implant = QFileInfo(QString::fromStdString(implant->getFilename())).fileName().toStdString();
    implant->setTransform(Vexa::Matrix44<double>(Vexa::Vector3D(10, 10, 10)));
    window.getModel()->getImplantManager()->addImplant(implant);
    window.getModel()->notify();
    EXPECT_TRUE(window.savePlanning(false));
    auto* list = window.findChild<QListWidget*>("ImplantListBox");
    planned.implantRow = list->viewport()->mapTo(&window, list->visualItemRect(list->item(0)).center());
    const QWidget* exchange = window.findChild<QPushButton*>("ExchangeImplantButton");
    planned.exchange = exchange->mapTo(&window, exchange->rect().center());
    return planned;
}

// The key of a standard action as xdotool names it ("ctrl+shift+z").
QString keyOf(QKeySequence::StandardKey action)
{
    return QKeySequence::keyBindings(action).value(0).toString(QKeySequence::PortableText).toLower();
}

}

TEST(UndoRedoKeysTest, RedoKeyBringsTheExchangedImplantBack)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    const QString display = AppTest::xServer().display();
    ASSERT_FALSE(display.isEmpty());
    AppTest::AppFolder home;
    const Planned planned = savePlanningWithImplant(home);
    ASSERT_TRUE(planned.implant.ends_with(".implant"));

    QProcess program;
    const QString main = AppTest::startProgram(program, display, home.path());
    ASSERT_FALSE(main.isEmpty());
    ASSERT_TRUE(AppTest::reloadTheOnlyPlanning(display));
    // The reloaded planning is in once its recording has begun.
    const QString system = home.path("patients/MorvantaStudyDummy/System");
    ASSERT_TRUE(AppTest::waitFor([&] { return !QDir(system).entryList({"*.log"}, QDir::Files).isEmpty(); }, 60000));
    const auto click = [&](const QString& window, QPoint p) {
        xdotool(display, {"mousemove", "--window", window, QString::number(p.x()), QString::number(p.y()), "click", "1"});
    };
    const auto gone = [&](const QString& title) {
        return AppTest::waitFor([&] {
            return xdotool(display, {"search", "--onlyvisible", "--name", "^" + title + "$"}).isEmpty();
        }, 30000);
    };
    const auto key = [&](const QString& keys) { xdotool(display, {"windowfocus", "--sync", main, "key", keys}); };
    // Ctrl+O, "Save as new" (the second button of the row at (30, 75)), Escape on "Load patient":
    // the program goes on with the planning. The new planning's implant description.
    const auto saveAsNew = [&]() -> std::string {
        const QStringList before = QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
        key("ctrl+o");
        click(windowNamed(display, "Save patient"), QPoint(216, 106));
        if (windowNamed(display, "Load patient").isEmpty())
            return "no load question after the save";
        xdotool(display, {"key", "Escape"});
        gone("Load patient");
        QStringList added = QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
        for (const QString& old : before)
            added.removeAll(old);
        if (added.size() != 1)
            return "no new planning";
        const std::string file = home.path("patients/" + added[0] + "/" + added[0] + ".srl").toStdString();
        const PlanningFile planning = PlanningFile::read(file);
        return planning.implants.size() == 1 ? QFileInfo(QString::fromStdString(planning.implants[0].file))
                                                   .fileName()
                                                   .toStdString()
                                             : "not one implant";
    };

    // The implant row chosen, "Exchange Implant", the short list's second row, OK.
    click(main, planned.implantRow);
    click(main, planned.exchange);
    const QString dialog = windowNamed(display, "Implant Selection");
    ASSERT_FALSE(dialog.isEmpty());
    click(dialog, planned.secondShortRow);
    click(dialog, planned.okButton);
    ASSERT_TRUE(gone("Implant Selection"));
    const std::string exchanged = saveAsNew();
    EXPECT_TRUE(exchanged.ends_with(".implant") && exchanged != planned.implant) << exchanged;

    key(keyOf(QKeySequence::Undo));
    EXPECT_EQ(saveAsNew(), planned.implant) << "after " << keyOf(QKeySequence::Undo).toStdString();
    key(keyOf(QKeySequence::Redo));
    EXPECT_EQ(saveAsNew(), exchanged) << "after " << keyOf(QKeySequence::Redo).toStdString();

    // Ctrl+W, "Quit without save" (the fourth button).
    key("ctrl+w");
    click(windowNamed(display, "Save patient"), QPoint(468, 106));
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0);
}
