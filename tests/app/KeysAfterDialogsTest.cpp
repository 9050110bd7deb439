// The main window's keys right after each of its modal dialogs closed, on an X server without a
// window manager (as scripts/run starts one when there is no display): P takes a screenshot, R
// starts and ends a screen video, Ctrl+Z takes the last change back. xdotool types them into
// whichever window has the X focus, as a keyboard does.
#include "AppTestSupport.h"

#include "planning/model/Model.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "vexa/core/AbstractCommand.h"
#include "vexa/core/CommandProcessor.h"

#include <QWindow>
#include <gtest/gtest.h>

namespace {

using AppTest::waitFor;

// A planning change that counts how often it was taken back.
class CountedChange : public Vexa::AbstractCommand
{
public:
    CountedChange() : AbstractCommand(undoable) {}
    void execute() override {}
    void undo() override { ++undone; }
    std::string getName() const override { return "counted change"; }
    int undone = 0;
};

}

TEST(KeysAfterDialogsTest, PRAndUndoTakeEffectRightAfterEachDialog)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    AppTest::AppFolder home;
    MainWindow window(nullptr, Constants::NormalMode);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    ASSERT_TRUE(window.importVolumeData(files));
    const QString display = qEnvironmentVariable("DISPLAY");
    const QDir images(home.path("Images"));
    ShellPlanningUi ui;
    const struct
    {
        const char* dialog;
        std::function<void()> open;
    } rows[] = {
        {"import", [&] { window.importPatientData(); }},
        {"load", [&] { window.choosePlanning(); }},
        {"implant selection", [&] { ui.chooseImplant(home.path("ImplantDatabase/").toStdString(), true); }},
        {"length result", [&] { ui.showMessage("Morvanta Planning", "\nLength is 12.34 mm"); }},
        {"about box", [&] { window.about(); }},
        {"question answered", [&] { window.requestPlanningSave("New planning\nwithout save"); }},
    };
    const auto key = [&](const QString& keys) { AppTest::xdotool(display, {"key", keys}); };
    // A key that works acts at once; one that went to the root window never does.
    constexpr int bound = 10000;
    QStringList table;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dialog);
        auto change = std::make_shared<CountedChange>();
        Vexa::CommandProcessor::getInstance()->execute(change);
        // Escape typed on the dialog once it shows, while it has the focus.
        AppTest::DialogAnswerer answer;
        answer.then([&](QWidget* dialog) {
            if (!dialog->windowHandle() || !dialog->windowHandle()->isExposed())
                return false;
            AppTest::xdotool(display, {"windowfocus", "--sync", QString::number(dialog->winId()), "key", "Escape"});
            return true;
        });
        row.open();
        ASSERT_TRUE(answer.done());
        // As a person, who types after the dialog has gone: then the window has the keyboard
        // again, or never.
        waitFor([&] { return window.isActiveWindow(); }, bound);

        const qsizetype pictures = images.entryList({"*.bmp"}).size();
        key("p");
        const bool p = waitFor([&] { return images.entryList({"*.bmp"}).size() > pictures; }, bound);
        key("r");
        const bool started = waitFor([&] { return window.getModel()->isCapturing(); }, bound);
        key("r");
        const bool r = started && waitFor([&] { return !window.getModel()->isCapturing(); }, bound);
        key("ctrl+z");
        const bool undo = waitFor([&] { return change->undone == 1; }, bound);
        table << QString("%1: P %2, R %3, Ctrl+Z %4")
                     .arg(row.dialog, p ? "works" : "lost", r ? "works" : "lost", undo ? "works" : "lost");
        EXPECT_TRUE(p && r && undo) << table.back().toStdString();
        // A video the test could not end would hold the next row's keys' effects.
        if (window.getModel()->isCapturing())
            window.toggleVideoCapture();
    }
    std::cout << table.join("\n").toStdString() << std::endl;
}
