// The planning panel, the button bar and the view frames in the program window over the sample
// patient: the brightness slider shows the Model's window after an import and a reload and a
// save keeps that window; the delete questions (Yes, No, Escape, Enter); "Delete Panoramic" and
// Undo in the cross-sectional view; Exchange from a copied program folder (its short list shows,
// Cancel and OK keep it); the Panoramic button after an import;
// the frames' zoom limits and centring.
#include "AppTestSupport.h"

#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/RangeSlider.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/CommandProcessor.h"

#include <QDirIterator>
#include <QGuiApplication>
#include <QListWidget>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QToolButton>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using AppTest::clickButton;

class PlanningPanel : public testing::Test
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() == "offscreen")
            GTEST_SKIP() << "needs an X display";
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        model = window->getModel();
        slider = window->findChild<RangeSlider*>();
        ASSERT_TRUE(window->importVolumeData(files()));
    }
    void TearDown() override
    {
        window.reset();
        IPlanningUi::install(nullptr);
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> list;
        for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList(QDir::Files, QDir::Name))
            list.push_back(f.absoluteFilePath().toStdString());
        return list;
    }
    std::tuple<int, int, int> handles() const { return {slider->low(), slider->mid(), slider->high()}; }
    std::tuple<int, int, int> modelWindow() const
    {
        return {model->getMinVoxelValue(), model->getMidVoxelValue(), model->getMaxVoxelValue()};
    }
    // A curve over the jaw and two implants on it.
    void plan()
    {
        model->getPanoramicLine()->setPoints({{-20, 10, 0}, {0, -10, 0}, {20, 10, 0}});
        QDirIterator it(home.path("ImplantDatabase"), {"*.implant"}, QDir::Files, QDirIterator::Subdirectories);
        const std::string description = it.next().toStdString();
        for (double x : {-10.0, 10.0})
            model->getImplantManager()->addImplant(
                Implant::createFromFile(Vexa::Matrix44<double>(Vexa::Vector3D(x, 0, 10)), 0, description));
        model->notify();
    }
    QPushButton* panelButton(const char* name) const { return window->findChild<QPushButton*>(name); }
    // Clicks the panel's button once the bar lets it be clicked; the answerer meets its question.
    void press(const char* name)
    {
        QPushButton* b = panelButton(name);
        ASSERT_TRUE(b && b->isEnabled()) << name;
        b->click();
        ASSERT_TRUE(answer.done()) << name << ": " << answer.seen.join(", ").toStdString();
    }

    AppTest::AppFolder home;
    AppTest::DialogAnswerer answer;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<Model> model;
    RangeSlider* slider = nullptr;
};

// The [ImageData] window lines of a planning file.
QStringList windowLines(const QString& planning)
{
    QFile f(planning);
    f.open(QIODevice::ReadOnly);
    QStringList lines;
    for (const QString& line : QString::fromUtf8(f.readAll()).split('\n'))
        if (line.contains(QRegularExpression("^(min|mid|max)VoxelValue")))
            lines << line;
    return lines;
}

// How much of the widget's picture on the screen is pure red.
double redShare(QWidget* widget)
{
    const QPoint at = widget->mapToGlobal(QPoint());
    const QImage picture = widget->screen()->grabWindow(0, at.x(), at.y(), widget->width(), widget->height()).toImage();
    qint64 red = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            red += c.red() > 200 && c.green() < 60 && c.blue() < 60;
        }
    return picture.isNull() ? 1.0 : double(red) / double(picture.width() * picture.height());
}

}

TEST_F(PlanningPanel, SliderShowsTheModelsWindowAndASaveKeepsIt)
{
    ASSERT_NE(modelWindow(), std::make_tuple(0, 2047, 4095)) << "the sample has a window of its own";
    EXPECT_EQ(handles(), modelWindow()) << "after the import";
    ASSERT_TRUE(window->savePlanning(false));
    const QString first = QString::fromStdString(window->getSettings()->getPlanningFile());
    ASSERT_EQ(windowLines(first).size(), 3);

    // Patient -> "New planning without save" -> "Reload planning" -> the planning.
    answer.then(clickButton("SaveDialog", "New planningwithout save"));
    answer.then(clickButton("LoadDialog", "Reload planning"));
    answer.then([](QWidget* modal) {
        auto* list = modal->findChild<QTreeWidget*>("m_PatientTable");
        if (!list || list->topLevelItemCount() == 0)
            return false;
        ShellTest::doubleClick(list, list->topLevelItem(0));
        return true;
    });
    window->findChild<QToolButton*>("PatientButton")->click();
    ASSERT_TRUE(answer.done()) << answer.seen.join(", ").toStdString();
    ASSERT_TRUE(model->getVolumeData());
    EXPECT_EQ(handles(), modelWindow()) << "after the reload";
    ASSERT_TRUE(window->savePlanning(false));
    const QString second = QString::fromStdString(window->getSettings()->getPlanningFile());
    EXPECT_NE(first, second);
    EXPECT_EQ(windowLines(second), windowLines(first)) << "the window untouched, byte for byte";

    // Moved by the user, the window follows the handle.
    slider->setDragState(RangeSlider::HighHandle);
    slider->moveRangeSlider(slider->high() - 300);
    slider->setDragState(RangeSlider::Idle);
    EXPECT_EQ(handles(), modelWindow());
    EXPECT_EQ(std::get<2>(modelWindow()), QString(windowLines(first)[2]).section('=', 1).trimmed().toInt() - 300);
}

TEST_F(PlanningPanel, PanoramicIsOnAfterTheImportAndDeleteQuestionsAnswer)
{
    EXPECT_EQ(model->getState(), 2);
    EXPECT_TRUE(window->findChild<QToolButton*>("PanoramicButton")->isChecked()) << "the curve state shows at once";
    plan();
    auto* list = window->findChild<QListWidget*>("ImplantListBox");
    ASSERT_EQ(list->count(), 2);
    // Only Yes deletes; No, Escape and Enter (on the focused Cancel) leave everything.
    const struct
    {
        const char* how;
        std::function<bool(QWidget*)> step;
        bool deletes;
    } answers[] = {
        {"No", clickButton("MessageDialog", "No"), false},
        {"Escape", [](QWidget* m) { return qobject_cast<MessageDialog*>(m) && (QTest::keyClick(m, Qt::Key_Escape), true); }, false},
        {"Enter", [](QWidget* m) { return qobject_cast<MessageDialog*>(m) && (QTest::keyClick(m->focusWidget(), Qt::Key_Return), true); }, false},
        {"Yes", clickButton("MessageDialog", "Yes"), true},
    };
    for (const auto& a : answers) {
        SCOPED_TRACE(a.how);
        list->item(0)->setSelected(true);
        answer.then(a.step);
        press("DeleteButton");
        EXPECT_EQ(list->count(), a.deletes ? 1 : 2);
    }
    for (const auto& a : answers) {
        SCOPED_TRACE(a.how);
        answer.then(a.step);
        press("DeletePanoramicButton");
        EXPECT_EQ(model->getPanoramicLine()->numberOfCorners(), a.deletes ? 0u : 3u);
    }
}

TEST_F(PlanningPanel, DeletedCurveHidesTheSectionsAndUndoBringsThemBack)
{
    plan();
    auto* sections = window->getMainWidget()->findChild<QWidget*>("Cross-sectional");
    ASSERT_TRUE(sections);
    ASSERT_TRUE(AppTest::waitFor([&] { return sections->isVisible(); }, 10000)) << "the sections show";
    answer.then(clickButton("MessageDialog", "Yes"));
    press("DeletePanoramicButton");
    ASSERT_EQ(model->getPanoramicLine()->numberOfCorners(), 0u);
    EXPECT_EQ(model->getState(), 2) << "a new curve is drawn next";
    QApplication::processEvents();
    EXPECT_FALSE(sections->isVisible()) << "no sections without a curve";
    QWidget* frame = sections->parentWidget();
    while (frame && !qobject_cast<ViewFrame*>(frame))
        frame = frame->parentWidget();
    ASSERT_TRUE(frame);
    QTest::qWait(0);
    EXPECT_LT(redShare(frame), 0.05) << "no red pane";
    press("UndoButton");
    EXPECT_EQ(model->getPanoramicLine()->numberOfCorners(), 3u);
    EXPECT_TRUE(AppTest::waitFor([&] { return sections->isVisible(); }, 10000)) << "Undo brings the sections back";
}

TEST_F(PlanningPanel, ExchangeFromACopiedProgramFolder)
{
    // The program folder is a copy: its short list names the implants where the build put them.
    QFile built(AppTest::built + "/ImplantDatabase/selection.db");
    ASSERT_TRUE(built.open(QIODevice::ReadOnly));
    const int listed = QString::fromUtf8(built.readAll()).count('\n');
    ASSERT_GT(listed, 0);
    HierachyImplantSelectionDialog::forgetDatabase();
    plan();
    const auto manager = model->getImplantManager();
    const auto before = *manager->implantsBegin();
    auto* list = window->findChild<QListWidget*>("ImplantListBox");
    list->item(0)->setSelected(true);
    const bool couldUndo = Vexa::CommandProcessor::getInstance()->canUndo();
    // The short list shows; Cancel changes nothing.
    int shown = -1;
    const auto shortList = [&shown](QWidget* modal) {
        auto* dialog = qobject_cast<HierachyImplantSelectionDialog*>(modal);
        if (dialog)
            shown = static_cast<QTreeWidget*>(dialog->findChild<QStackedWidget*>()->widget(1))->topLevelItemCount();
        return dialog != nullptr;
    };
    answer.then(shortList);
    answer.then(clickButton("HierachyImplantSelectionDialog", "Cancel"));
    press("ExchangeImplantButton");
    EXPECT_EQ(shown, listed);
    EXPECT_EQ(*manager->implantsBegin(), before);
    EXPECT_EQ(manager->numberOfImplants(), 2u);
    EXPECT_EQ(Vexa::CommandProcessor::getInstance()->canUndo(), couldUndo) << "nothing to undo";
    // OK exchanges the implant; the short list is still there the next time, also after a restart.
    answer.then(AppTest::chooseFirstImplant);
    press("ExchangeImplantButton");
    EXPECT_NE(*manager->implantsBegin(), before);
    for (bool restart : {false, true}) {
        if (restart)
            HierachyImplantSelectionDialog::forgetDatabase();
        shown = -1;
        list->item(0)->setSelected(true);
        answer.then(shortList);
        answer.then(clickButton("HierachyImplantSelectionDialog", "Cancel"));
        press("ExchangeImplantButton");
        EXPECT_EQ(shown, listed) << restart;
    }
}

TEST_F(PlanningPanel, FramesZoomWithinLimitsAndKeepTheMiddleInView)
{
    ViewFrame* frame = window->getMainWidget()->frame("RightLowerFrame");
    auto* scroll = frame->findChild<QScrollArea*>("FrameScrollView");
    QPushButton* zoomIn = frame->findChild<QPushButton*>("ZoomInButton");
    QPushButton* zoomOut = frame->findChild<QPushButton*>("ZoomOutButton");
    ASSERT_TRUE(scroll && zoomIn && zoomOut && frame->getView()->isVisible());
    QWidget* picture = scroll->widget(); // the view with its caption
    const QSize screen = QGuiApplication::primaryScreen()->size();
    const auto click = [](QPushButton* b) {
        b->click();
        QApplication::processEvents();
    };
    // Zooming in stops before the picture outgrows 4096 pixels or the screen's area; while it is
    // larger than the frame, the middle of the frame shows the middle of the picture.
    QSize last;
    for (int i = 0; i < 30 && picture->size() != last; ++i) {
        last = picture->size();
        click(zoomIn);
        const QSize view = frame->getView()->size();
        ASSERT_LT(view.width(), 4096);
        ASSERT_LT(view.height(), 4096);
        ASSERT_LT(qint64(view.width()) * view.height(), qint64(screen.width()) * screen.height());
        const QSize visible = scroll->viewport()->size();
        if (picture->width() > visible.width()) {
            EXPECT_NEAR(scroll->horizontalScrollBar()->value() + visible.width() / 2, picture->width() / 2,
                        0.02 * picture->width()) << "zoom " << i;
        }
        if (picture->height() > visible.height()) {
            EXPECT_NEAR(scroll->verticalScrollBar()->value() + visible.height() / 2, picture->height() / 2,
                        0.02 * picture->height()) << "zoom " << i;
        }
    }
    EXPECT_EQ(picture->size(), last) << "a limit is reached";
    EXPECT_GT(picture->width(), scroll->viewport()->width());
    // Zooming out stops too, with the picture centred in the frame.
    for (int i = 0; i < 40; ++i)
        click(zoomOut);
    const QSize smallest = picture->size();
    click(zoomOut);
    EXPECT_EQ(picture->size(), smallest) << "zooming out has a limit";
    EXPECT_GT(smallest.width(), 0);
    EXPECT_LT(smallest.width(), scroll->viewport()->width());
    const QPoint middle = picture->mapTo(scroll->viewport(), picture->rect().center());
    EXPECT_NEAR(middle.x(), scroll->viewport()->width() / 2, 1);
    EXPECT_NEAR(middle.y(), scroll->viewport()->height() / 2, 1);
}
