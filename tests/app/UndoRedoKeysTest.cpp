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

// Where the program's window and its implant dialog put what the test presses.
struct Places
{
    QPoint implantRow, exchange;  // in the main window
    QPoint secondShortRow, okButton; // in "Implant Selection"
};

// A planning of the sample patient with the implant of the short list's first row, saved by a
// window on a screen of the program's size; where that window and the implant dialog put what
// the test presses.
Places savePlanningWithImplant(const AppTest::AppFolder& home)
{
    Places places;
    MainWindow window(nullptr, Constants::NormalMode);
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
        places.secondShortRow =
            shortList->viewport()->mapTo(&dialog, shortList->visualItemRect(shortList->topLevelItem(1)).center());
        QPushButton* ok = ShellTest::buttonsInOrder(dialog).back();
        places.okButton = ok->mapTo(&dialog, ok->rect().center());
        shortList->setCurrentItem(shortList->topLevelItem(0));
        dialog.ok();
        implant = dialog.getSelectedImplant();
    }
    HierachyImplantSelectionDialog::forgetDatabase();
    if (!implant)
        return places;
    implant->setTransform(Vexa::Matrix44<double>(Vexa::Vector3D(10, 10, 10)));
    const auto model = window.getModel();
    model->getImplantManager()->addImplant(implant);
    model->notify();
    EXPECT_TRUE(window.savePlanning(false));
    auto* list = window.findChild<QListWidget*>("ImplantListBox");
    places.implantRow = list->viewport()->mapTo(&window, list->visualItemRect(list->item(0)).center());
    const QWidget* exchange = window.findChild<QPushButton*>("ExchangeImplantButton");
    places.exchange = exchange->mapTo(&window, exchange->rect().center());
    return places;
}

// The key of a standard action as xdotool names it ("ctrl+shift+z").
QString keyOf(QKeySequence::StandardKey action)
{
    return QKeySequence::keyBindings(action).value(0).toString(QKeySequence::PortableText).toLower();
}

// The plannings below the patient folder.
QStringList planningFolders(const AppTest::AppFolder& home)
{
    return QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
}

}

TEST(UndoRedoKeysTest, RedoKeyBringsTheExchangedImplantBack)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    TestSupport::PrivateXServer& x = AppTest::xServer();
    ASSERT_TRUE(x.running());
    const QString display = x.display();
    AppTest::AppFolder home;
    const Places places = savePlanningWithImplant(home);
    ASSERT_EQ(planningFolders(home).size(), 1);

    QProcess program;
    const QString main = AppTest::startProgram(program, display, home.path());
    ASSERT_FALSE(main.isEmpty());
    ASSERT_TRUE(AppTest::reloadTheOnlyPlanning(display));
    // The reloaded planning is in once its recording has begun.
    const QString system = home.path("patients/MorvantaStudyDummy/System");
    ASSERT_TRUE(AppTest::waitFor([&] { return !QDir(system).entryList({"*.log"}, QDir::Files).isEmpty(); }, 60000))
        << "the recording of the reloaded planning";
    const auto click = [&](const QString& window, QPoint p) {
        xdotool(display, {"mousemove", "--window", window, QString::number(p.x()), QString::number(p.y()), "click", "1"});
    };
    const auto shown = [&](const QString& title) {
        return !xdotool(display, {"search", "--onlyvisible", "--name", "^" + title + "$"}).isEmpty();
    };
    const auto key = [&](const QString& keys) {
        xdotool(display, {"windowfocus", "--sync", main});
        xdotool(display, {"key", keys});
    };
    // Ctrl+O, "Save as new" (the second button of the row at (30, 75)), then Escape on "Load
    // patient": the program goes on with the planning. The new planning's implant description.
    const auto saveAsNew = [&]() -> std::string {
        const QStringList before = planningFolders(home);
        key("ctrl+o");
        const QString question = windowNamed(display, "Save patient");
        if (question.isEmpty())
            return "no save question";
        click(question, QPoint(216, 106));
        if (windowNamed(display, "Load patient").isEmpty())
            return "no load question";
        xdotool(display, {"key", "Escape"});
        AppTest::waitFor([&] { return !shown("Load patient"); }, 30000);
        QStringList added = planningFolders(home);
        for (const QString& old : before)
            added.removeAll(old);
        if (added.size() != 1)
            return "no new planning";
        const QString folder = home.path("patients/" + added.front());
        const PlanningFile planning = PlanningFile::read((folder + "/" + added.front() + ".srl").toStdString());
        return planning.implants.size() == 1
                   ? QFileInfo(QString::fromStdString(planning.implants[0].file)).fileName().toStdString()
                   : "not one implant";
    };

    // Exchange: the implant row chosen, "Exchange Implant", the short list's second row, OK.
    const std::string original = saveAsNew();
    click(main, places.implantRow);
    click(main, places.exchange);
    const QString dialog = windowNamed(display, "Implant Selection");
    ASSERT_FALSE(dialog.isEmpty()) << "the implant dialog";
    click(dialog, places.secondShortRow);
    click(dialog, places.okButton);
    ASSERT_TRUE(AppTest::waitFor([&] { return !shown("Implant Selection"); }, 30000));
    const std::string exchanged = saveAsNew();
    EXPECT_TRUE(original.ends_with(".implant") && exchanged.ends_with(".implant")) << original << " " << exchanged;
    EXPECT_NE(exchanged, original);

    key(keyOf(QKeySequence::Undo));
    EXPECT_EQ(saveAsNew(), original) << "after " << keyOf(QKeySequence::Undo).toStdString();
    key(keyOf(QKeySequence::Redo));
    EXPECT_EQ(saveAsNew(), exchanged) << "after " << keyOf(QKeySequence::Redo).toStdString();

    // Ctrl+W, "Quit without save" (the fourth button).
    key("ctrl+w");
    const QString quit = windowNamed(display, "Save patient");
    ASSERT_FALSE(quit.isEmpty());
    click(quit, QPoint(468, 106));
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitCode(), 0);
}
