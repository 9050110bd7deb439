// The main window's keys right after each of its modal dialogs closed, on an X server without a
// window manager (as scripts/run starts one): P takes a screenshot, R starts and ends a screen
// video, Ctrl+Z takes the last change back, typed by xdotool into whichever window has the focus.
#include "AppTestSupport.h"

#include "planning/model/Model.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "vexa/core/AbstractCommand.h"
#include "vexa/core/CommandProcessor.h"

#include <QWindow>
#include <gtest/gtest.h>

namespace {

// A planning change that counts how often it was taken back.
struct CountedChange : Vexa::AbstractCommand
{
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
    const std::pair<const char*, std::function<void()>> dialogs[] = {
        {"import", [&] { window.importPatientData(); }},
        {"load", [&] { window.choosePlanning(); }},
        {"implant selection", [&] { ui.chooseImplant(home.path("ImplantDatabase/").toStdString(), true); }},
        {"length result", [&] { ui.showMessage("Morvanta Planning", "\nLength is 12.34 mm"); }},
        {"about box", [&] { window.about(); }},
        {"question answered", [&] { window.requestPlanningSave("New planning\nwithout save"); }},
    };
    // A key that works acts at once; one that went to the root window never does.
    const auto works = [&](const char* key, auto done) {
        AppTest::xdotool(display, {"key", key});
        return AppTest::waitFor(done, 10000);
    };
    for (const auto& [name, open] : dialogs) {
        SCOPED_TRACE(name);
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
        open();
        ASSERT_TRUE(answer.done());
        // A person types once the dialog has gone: the window has the keyboard again then, or never.
        AppTest::waitFor([&] { return window.isActiveWindow(); }, 10000);
        const qsizetype pictures = images.entryList({"*.bmp"}).size();
        EXPECT_TRUE(works("p", [&] { return images.entryList({"*.bmp"}).size() > pictures; })) << "P";
        EXPECT_TRUE(works("r", [&] { return window.getModel()->isCapturing(); })) << "R starts";
        EXPECT_TRUE(works("r", [&] { return !window.getModel()->isCapturing(); })) << "R ends";
        EXPECT_TRUE(works("ctrl+z", [&] { return change->undone == 1; })) << "Ctrl+Z";
        if (window.getModel()->isCapturing()) // else the next row's keys would act in this video
            window.toggleVideoCapture();
    }
}
