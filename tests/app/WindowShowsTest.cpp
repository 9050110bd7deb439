// What the window shows, read back from the X server's screen, after the user's own presses typed
// by xdotool: Length switched off after its first point takes the point away.
#include "AppTestSupport.h"

#include "planning/model/Model.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"

#include <QToolButton>
#include <gtest/gtest.h>
#include <cstdio>

namespace {

using AppTest::onScreen;
using AppTest::waitFor;
using AppTest::xClick;

// The program's window over the sample patient, imported as the Patient button does it.
struct Planning
{
    Planning()
    {
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        exposed = QTest::qWaitForWindowExposed(window.get());
        std::vector<std::string> files;
        for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
            files.push_back(f.absoluteFilePath().toStdString());
        imported = exposed && window->importVolumeData(files);
    }
    ~Planning()
    {
        window.reset();
        IPlanningUi::install(nullptr);
    }
    ViewFrame* frame(const char* name) const { return window->getMainWidget()->frame(name); }
    AppTest::AppFolder home;
    std::unique_ptr<MainWindow> window;
    bool exposed = false, imported = false;
};

// Pixels of the length measuring's orange (1.0, 0.647, 0.0); the slices are grey, the axial
// view's border red, the curve yellow.
int orangePixels(const QImage& picture)
{
    int orange = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            orange += c.red() > 220 && c.green() > 125 && c.green() < 205 && c.blue() < 60;
        }
    return orange;
}

void save(const QImage& picture, const QString& name)
{
    picture.save(MORVANTA_BINARY_DIR "/tests/app/" + name + ".png");
}


}

TEST(WindowShows, LengthSwitchedOffAfterItsFirstPointTakesThePointAway)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    Planning planning;
    ASSERT_TRUE(planning.imported);
    const auto model = planning.window->getModel();
    QWidget* axial = planning.frame("RightLowerFrame")->getView();
    auto* length = planning.window->findChild<QToolButton*>("LengthButton");
    ASSERT_TRUE(axial && length && axial->objectName() == "Axial");
    ASSERT_TRUE(waitFor([&] { return axial->isVisible() && length->isEnabled(); }, 30000));

    xClick(length);
    ASSERT_TRUE(waitFor([&] { return model->getState() == 6; }, 10000));
    xClick(axial, {0.5, 0.5});
    ASSERT_TRUE(waitFor([&] { return model->getMeasuringState() == 1; }, 10000));
    int orange = 0;
    ASSERT_TRUE(waitFor([&] { return (orange = orangePixels(onScreen(axial))) > 0; }, 10000)) << "the point is drawn";
    save(onScreen(axial), "length-first-point");
    const int drawn = orange;

    xClick(length);
    ASSERT_TRUE(waitFor([&] { return model->getState() == 1 && !length->isChecked(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return (orange = orangePixels(onScreen(axial))) == 0; }, 10000))
        << orange << " orange pixels stay";
    save(onScreen(axial), "length-switched-off");
    std::printf("orange pixels in the axial view: %d with the first point, %d after Length went off\n", drawn, orange);
}

