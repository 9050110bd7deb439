// The shell's parts against their tables: modes and the view factory, the view offer, the
// planning buttons, the planning panel's selection, the 3D mouse through the application object
// and the event boundary; on the screen, the bone density diagram under its labels, the brightness
// slider after real drags and the brightness controls disabled.
#include "AppTestSupport.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/BoneDensityDialog.h"
#include "shell/main/Application.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/modes/IMorvantaComponent.h"
#include "shell/modes/ViewFactory.h"
#include "shell/widgets/ControlView.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/PlanningButtonView.h"
#include "shell/widgets/RangeSlider.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/RedoCommand.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "views/IView.h"

#include <QGraphicsView>
#include <QListWidget>
#include <QPainter>
#include <QScreen>
#include <QToolButton>
#include <gtest/gtest.h>
#include <QDirIterator>
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <tuple>

namespace {

// One Model over the sample patient for the whole program (the import takes a while).
std::shared_ptr<Model> sampleModel()
{
    static std::shared_ptr<Model> model = [] {
        auto settings = std::make_shared<Settings>(AppTest::built.toStdString() + "/Morvanta.ini");
        auto m = std::make_shared<Model>(settings);
        Vexa::DicomIOManager manager;
        manager.insertImporter(new Vexa::UniversalImporter());
        std::vector<std::string> files;
        for (const QFileInfo& f : QDir(AppTest::built + "/SamplePatient").entryInfoList(QDir::Files, QDir::Name))
            files.push_back(f.absoluteFilePath().toStdString());
        DicomImport import(files, m, settings, manager);
        EXPECT_TRUE(import.start()) << import.getErrorMessage();
        return m;
    }();
    return model;
}

std::shared_ptr<Implant> implantFromDatabase(double x)
{
    QDirIterator it(AppTest::built + "/ImplantDatabase", {"*.implant"}, QDir::Files, QDirIterator::Subdirectories);
    return Implant::createFromFile(Vexa::Matrix44<double>(Vexa::Vector3D(x, 0, 0)), 0, it.next().toStdString());
}

// A range slider that counts its paints, so that a test can wait for the paint a move asked for.
class CountingSlider : public RangeSlider
{
public:
    using RangeSlider::RangeSlider;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        RangeSlider::paintEvent(event);
        ++paints;
    }
};

using AppTest::differences;
using AppTest::onScreen;

}

TEST(ModesTest, ComponentsViewsAndFrames)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "views need an X display";
    const struct
    {
        short id;
        const char* name;
        const char* letter;
        bool navigation, selection;
        QStringList views;
    } table[] = {
        {1, "Surgical", "S", true, true, {"3D", "Axial", "Coronal", "Cross-sectional", "Panoramic", "Sagittal", "Target"}},
        {2, "Light", "L", true, false, {"3D", "Axial", "Cross-sectional", "Panoramic", "Target"}},
        {3, "Planning", "P", false, true, {"3D", "Axial", "Coronal", "Cross-sectional", "Panoramic", "Sagittal", "Target"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        const auto component = createComponent(row.id);
        EXPECT_EQ(component->getId(), row.id);
        EXPECT_EQ(component->getName(), row.name);
        EXPECT_EQ(component->getLetter(), row.letter);
        EXPECT_EQ(component->isNavigationAvailable(), row.navigation);
        const auto factory = component->createViews(sampleModel());
        EXPECT_EQ(factory->isViewSelectionEnabled(), row.selection);
        EXPECT_EQ(factory->names(), row.views);
        // Each call a new hidden instance, never the prototype; unknown names give nothing.
        QWidget parent;
        auto* a = dynamic_cast<QWidget*>(factory->getView("Axial", &parent));
        auto* b = dynamic_cast<QWidget*>(factory->getView("Axial", &parent));
        ASSERT_TRUE(a && b);
        EXPECT_NE(a, b);
        EXPECT_TRUE(a->isHidden());
        EXPECT_NE(static_cast<const void*>(factory->prototype("Axial")), static_cast<const void*>(a));
        EXPECT_EQ(factory->getView("Unknown", &parent), nullptr);

        // Frames: by the availability of their views; in the Light mode's navigation only "3D"
        // ones stay. Frames without a view stay shown.
        MainWidget widget(sampleModel(), factory, nullptr, "MainWidget");
        const auto list = widget.findChildren<ViewFrame*>();
        const QList<QObject*> frames(list.begin(), list.end());
        for (const bool planning : {false, true}) {
            component->showWidgets(planning, frames);
            for (ViewFrame* frame : list) {
                auto* view = dynamic_cast<Quorvane::IView*>(frame->getView());
                const bool expected = !view || (planning ? view->isAvailableInPlanning()
                                                         : row.id == 2 ? frame->getView()->objectName() == "3D"
                                                                       : view->isAvailableInNavigation());
                EXPECT_EQ(!frame->isHidden(), expected) << planning << " " << frame->objectName().toStdString();
            }
        }
    }
    try {
        createComponent(4);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "MainWindow::ctor: no valid component found!");
    }
}

TEST(ModesTest, FactoryKeepsTheFirstPrototypeAndRefusesNonWidgets)
{
    struct NoWidget : Quorvane::IView
    {
        IView* clone(QWidget*) const override { return nullptr; }
        bool isEmpty() const override { return true; }
        bool isAvailableInPlanning() const override { return true; }
        bool isAvailableInNavigation() const override { return true; }
        void reset() override {}
    };
    auto factory = ViewFactory::create(true);
    NoWidget plain;
    EXPECT_THROW(factory->registerView(&plain), std::runtime_error);
}

TEST(MainWidgetTest, ViewOfferAndReplacedViewsLeaveTheModel)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "views need an X display";
    const auto model = sampleModel();
    MainWidget widget(model, createComponent(1)->createViews(model), nullptr, "MainWidget");
    // The 3D view follows the 3D mouse and is shown already: it is not offered again.
    EXPECT_EQ(widget.offeredViews(), (QStringList{"Axial", "Coronal", "Cross-sectional", "Panoramic", "Sagittal"}));
    widget.frame("LeftLowerFrame")->setView("Axial");
    EXPECT_EQ(widget.offeredViews(),
              (QStringList{"3D", "Axial", "Coronal", "Cross-sectional", "Panoramic", "Sagittal"}));
    // A replaced view is deleted and detached: notifying afterwards touches only live views.
    ViewFrame* frame = widget.frame("RightLowerFrame");
    for (const char* name : {"Coronal", "Sagittal", "Axial"}) {
        frame->setView(name);
        EXPECT_EQ(frame->getView()->objectName(), name);
        model->notify();
    }
    EXPECT_TRUE(frame->findChild<QLabel*>("Caption") != nullptr);
    EXPECT_EQ(frame->findChild<QLabel*>("Caption")->text(), "Axial View");
    // The control panel in the black splitters keeps the application's colours: the brightness
    // slider's groove shows them between its handles (not black), and its labels show.
    const QImage slider = widget.findChild<RangeSlider*>()->grab().toImage();
    EXPECT_EQ(slider.pixelColor(8, 25), QApplication::palette().color(QPalette::Window));
    const QLabel* label = widget.findChild<QLabel*>("BrightnessLabel");
    EXPECT_NE(label->palette().color(QPalette::WindowText), label->palette().color(QPalette::Window));
}

TEST(PlanningButtonViewTest, EnabledAndToggledByThePlanning)
{
    const auto sample = sampleModel();
    const auto empty = std::make_shared<Model>(sample->getSettings());
    struct Row
    {
        bool volume;
        unsigned corners;
        bool surface;
        unsigned markers;
        unsigned state;
        const char* enabled; // P(anoramic) G(enerate) I(mplant) N(erve) L(ength)
        const char* on;
    } table[] = {
        {false, 0, false, 0, 1, "", ""},
        {true, 1, false, 0, 2, "PL", "P"},
        {true, 2, false, 0, 1, "PGL", ""},
        {true, 2, true, 0, 3, "PGINL", "I"},
        {true, 2, true, 6, 5, "G", ""},
        {true, 2, true, 5, 5, "", ""},
        {true, 2, true, 7, 5, "", ""},
        {true, 2, true, 0, 6, "PGINL", "L"},
    };
    const std::pair<char, const char*> buttons[] = {{'P', "PanoramicButton"}, {'G', "Generate 3DButton"},
                                                    {'I', "ImplantButton"}, {'N', "NerveButton"},
                                                    {'L', "LengthButton"}};
    for (const Row& row : table) {
        SCOPED_TRACE(testing::Message() << "state " << row.state << " corners " << row.corners << " markers "
                                        << row.markers);
        const auto model = row.volume ? sample : empty;
        std::vector<Vexa::Vector3D> points;
        for (unsigned i = 0; i < row.corners; ++i)
            points.emplace_back(10.0 * i, 5.0, 0.0);
        model->getPanoramicLine()->setPoints(points);
        model->set3DModel(row.surface ? std::make_shared<Vexa::IndexedTriangleMesh>() : nullptr);
        std::vector<std::shared_ptr<Marker>> markers;
        for (unsigned i = 0; i < row.markers; ++i)
            markers.push_back(Marker::create(Vexa::Vector3D(i, 0, 0)));
        model->setMarker(markers);
        PlanningButtonView bar(model, nullptr, "PlanningButtonView");
        model->setStateAndUpdate(row.state);
        model->notify();
        ASSERT_EQ(model->getState(), int(row.state));
        for (const auto& [letter, name] : buttons) {
            auto* b = bar.findChild<QToolButton*>(name);
            EXPECT_EQ(b->isEnabled(), std::strchr(row.enabled, letter) != nullptr) << name;
            EXPECT_EQ(b->isChecked(), std::strchr(row.on, letter) != nullptr) << name;
        }
        EXPECT_TRUE(bar.findChild<QToolButton*>("PatientButton")->isEnabled());
        EXPECT_TRUE(bar.findChild<QToolButton*>("OKButton")->isEnabled());
    }
    sample->getPanoramicLine()->setPoints({});
    sample->set3DModel(nullptr);
    sample->setMarker({});
    sample->setStateAndUpdate(1);
}

TEST(ControlViewTest, SelectionSurvivesRebuildsUndoAndParallel)
{
    const auto model = sampleModel();
    const auto manager = model->getImplantManager();
    manager->clear();
    Vexa::CommandProcessor::getInstance()->clear();
    ControlView panel(model, nullptr, "ControlView");
    model->attach(static_cast<Vexa::IObserver*>(&panel));
    auto* list = panel.findChild<QListWidget*>("ImplantListBox");
    const auto enabled = [&](const char* name) { return panel.findChild<QPushButton*>(name)->isEnabled(); };
    for (double x : {0.0, 20.0, 40.0})
        manager->addImplant(implantFromDatabase(x));
    model->notify();
    ASSERT_EQ(list->count(), 3);
    EXPECT_FALSE(enabled("ParallelButton"));
    list->item(0)->setSelected(true);
    list->item(2)->setSelected(true);
    EXPECT_EQ(manager->numberOfSelected(), 2u);
    EXPECT_TRUE(enabled("ParallelButton") && enabled("DeleteButton"));
    EXPECT_FALSE(enabled("ExchangeImplantButton") || enabled("DensityButton"));

    // A fourth implant rebuilds the rows; the selection stays.
    manager->addImplant(implantFromDatabase(60.0));
    model->notify();
    ASSERT_EQ(list->count(), 4);
    EXPECT_EQ(manager->numberOfSelected(), 2u);
    EXPECT_TRUE(list->item(0)->isSelected() && list->item(2)->isSelected() && !list->item(1)->isSelected());

    // Parallel groups the two (row texts show group A) and keeps them selected; undo too.
    QTest::mouseClick(panel.findChild<QPushButton*>("ParallelButton"), Qt::LeftButton);
    EXPECT_TRUE(list->item(0)->text().contains("(A)"));
    EXPECT_EQ(manager->numberOfSelected(), 2u);
    EXPECT_TRUE(list->item(0)->isSelected() && list->item(2)->isSelected());
    EXPECT_TRUE(enabled("UndoButton"));
    QTest::mouseClick(panel.findChild<QPushButton*>("UndoButton"), Qt::LeftButton);
    EXPECT_FALSE(list->item(0)->text().contains("(A)"));
    EXPECT_EQ(manager->numberOfSelected(), 2u);
    EXPECT_TRUE(list->item(0)->isSelected() && list->item(2)->isSelected());
    // A redo from elsewhere (the main widget's key) shows in the rows at the next notification.
    Vexa::RedoCommand().execute();
    model->notify();
    EXPECT_TRUE(list->item(0)->text().contains("(A)") && list->item(2)->text().contains("(A)"));
    EXPECT_TRUE(list->item(0)->isSelected() && list->item(2)->isSelected());
    EXPECT_EQ(ControlView::convertNumberToGroupLetter(27), "[");
    model->detach(static_cast<Vexa::IObserver*>(&panel));
    manager->clear();
}

TEST(ApplicationTest, SpaceMouseEventsDecode)
{
    using S = Quorvane::Application::SpaceballSignal;
    const long none[6] = {};
    for (int device = 0; device <= 16; ++device) {
        const int expected = device >= 1 && device <= 9 ? device
                             : device == 13            ? 12
                             : device == 14            ? 10
                             : device == 15            ? 11
                                                       : 0;
        const S s = Quorvane::Application::decode(1, device, none);
        EXPECT_EQ(s.kind, expected ? S::Button : S::None) << device;
        EXPECT_EQ(s.button, expected) << device;
    }
    const struct
    {
        long axes[6];
        Vexa::Vector3D translation, rotation;
    } motions[] = {
        {{1400, 0, 0, 0, 0, 0}, {0, 0, -1}, {0, 0, 0}},
        {{0, 1400, 700, 0, 0, 0}, {-1, 1, 0}, {0, 0, 0}},
        {{0, 0, 0, 7000, 7000, 7000}, {0, 0, 0}, {1, 1, -1}},
    };
    for (const auto& m : motions) {
        const S s = Quorvane::Application::decode(2, 0, m.axes);
        ASSERT_EQ(s.kind, S::Motion);
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(s.translation[i], m.translation[i], 1e-6);
            EXPECT_NEAR(s.rotation[i], m.rotation[i], 1e-6);
        }
    }
    EXPECT_EQ(Quorvane::Application::decode(4, 0, none).kind, S::Zero);
    EXPECT_EQ(Quorvane::Application::decode(3, 0, none).kind, S::None);
}

TEST(MainWidgetTest, GenerateModelAsksAboutMarkersByTheTable)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "views need an X display";
    const auto model = sampleModel();
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    AppTest::DialogAnswerer answer;
    MainWidget widget(model, createComponent(1)->createViews(model), nullptr, "MainWidget");
    QStringList asked;
    const auto reply = [&](const QString& button) {
        answer.then([&asked, button](QWidget* modal) {
            if (!modal->inherits("MessageDialog"))
                return false;
            asked << modal->findChild<QLabel*>()->text().section('\n', 0, 0);
            AppTest::clickButton("MessageDialog", button)(modal);
            return true;
        });
    };
    const std::vector<std::shared_ptr<Marker>> wrong = {Marker::create({0, 0, 0}), Marker::create({1, 0, 0}),
                                                        Marker::create({2, 0, 0}), Marker::create({3, 0, 0}),
                                                        Marker::create({4, 0, 0}), Marker::create({5, 0, 0})};
    const struct
    {
        unsigned corners;
        unsigned state;
        bool detectionDone, detected;
        const char* answer; // "" none asked
        const char* question;
        bool modelMade;
        std::size_t markersAfter;
    } table[] = {
        {1, 1, false, false, "", "", false, 6},
        {3, 5, false, false, "Yes", "Manual marker detection failed.", false, 6},
        {3, 5, false, false, "No", "Manual marker detection failed.", true, 0},
        {3, 1, true, false, "Yes", "An already done automatic marker detection failed.", false, 6},
        {3, 1, true, true, "", "", true, 6},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "state " << row.state << " answer " << row.answer);
        std::vector<Vexa::Vector3D> points;
        for (unsigned i = 0; i < row.corners; ++i)
            points.emplace_back(-20.0 + 20.0 * i, i == 1 ? -10.0 : 10.0, 0.0);
        model->getPanoramicLine()->setPoints(points);
        model->set3DModel(nullptr);
        model->setMarker(wrong);
        model->setMarkerDetected(row.detected);
        model->getSettings()->setMarkerDetectionDone(row.detectionDone);
        model->setStateAndUpdate(row.state);
        asked.clear();
        if (*row.answer)
            reply(row.answer);
        QMetaObject::invokeMethod(&widget, "generate3DModel");
        EXPECT_TRUE(answer.done());
        EXPECT_EQ(asked, *row.question ? QStringList{row.question} : QStringList());
        EXPECT_EQ(model->get3DModel() != nullptr, row.modelMade);
        EXPECT_EQ(model->getMarkers().size(), row.markersAfter);
        if (*row.answer == 'Y') {
            EXPECT_EQ(model->getState(), 5);
        }
    }
    model->getPanoramicLine()->setPoints({});
    model->set3DModel(nullptr);
    model->setMarker({});
    model->setStateAndUpdate(1);
    IPlanningUi::install(nullptr);
}

TEST(BoneDensityDialogTest, TheDiagramStandsUnderItsLabelsOnTheScreen)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    const auto model = sampleModel();
    // Upright at the jaw's front from 1 mm above the scan's lowest slice: soft tissue, the bone's
    // lower cortex, spongy bone; the rings below the scan read 0, left of the lowest value shown.
    const auto implant = Implant::createFromFile(
        Vexa::Matrix44<double>(Vexa::Vector3D(44.8, 16.8, 1.0)), 0,
        (AppTest::built + "/ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D33-L080.implant").toStdString());
    BoneDensityDialog dialog(implant, model, 1, nullptr);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const QImage screen = onScreen(&dialog);
    screen.save(MORVANTA_BINARY_DIR "/tests/app/bone_density.png");

    // The middle pixel of a label in the dialog: a value label's stands on its value, the "20"
    // label's on the diagram's top row, the other position labels' 9 pixels above their rows.
    const auto middle = [&](const QString& text, bool positionAxis) {
        for (QLabel* l : dialog.findChildren<QLabel*>())
            if (l->text() == text && (l->geometry().right() < dialog.diagram()->x()) == positionAxis)
                return l->mapTo(&dialog, QPoint(l->width() / 2, (l->height() - 1) / 2));
        ADD_FAILURE() << "no label " << text.toStdString();
        return QPoint();
    };
    const QPoint origin(middle("-500", false).x(), middle("20", true).y());
    for (int i = 1; i < 8; ++i)
        EXPECT_EQ(middle(QString::number(i * 500 - 500), false).x() - origin.x(), 65 * i);
    const int zeroRow = middle("0", true).y() + 9 - origin.y(), lengthRow = middle("8", true).y() + 9 - origin.y();

    // The diagram's mapping of a grey value onto its 459 columns, 500 to 4000, and the rings' rows.
    const auto column = [](double value) { return std::clamp((int(value) - 500) * 459 / 3500, 0, 459); };
    const auto& rings = dialog.getRingDensities();
    const int n = int(rings.size()), meanX = column(dialog.getMeanDensity());
    std::vector<QPoint> curve;
    for (int i = 0; i < n; ++i)
        curve.emplace_back(column(rings[std::size_t(i)]), int((n - i - 0.5) * 233 / n));
    // Where the 3 pixel wide lines may cover what lies under them.
    std::vector<std::array<bool, 2>> covered(455 * 233);
    const auto cover = [&](QPoint a, QPoint b, int which) {
        for (int y = std::max(std::min(a.y(), b.y()) - 2, 0); y <= std::min(std::max(a.y(), b.y()) + 2, 232); ++y)
            for (int x = std::max(std::min(a.x(), b.x()) - 2, 0); x <= std::min(std::max(a.x(), b.x()) + 2, 454); ++x)
                covered[std::size_t(y * 455 + x)][std::size_t(which)] = true;
    };
    for (int i = 1; i < n; ++i)
        cover(curve[std::size_t(i - 1)], curve[std::size_t(i)], 0);
    cover({meanX, lengthRow}, {meanX, zeroRow}, 1);

    // Every pixel of the diagram, predicted from the labels: the curve's points red, the mean line
    // orange, the rows of 0 mm and of the length white, the grid white one pixel right of its
    // label's middle, the columns' outlines dark grey, the rest the grey of the column's value.
    const double low = model->getMinVoxelValue(), high = model->getMaxVoxelValue();
    int checked = 0, wrong = 0, leftOfTheOldEdge = 0;
    const auto expect = [&](QPoint p, const QColor& colour) {
        const QColor seen = screen.pixelColor(origin + p);
        ++checked;
        if (seen != colour && ++wrong <= 10)
            ADD_FAILURE() << "diagram pixel " << p.x() << "," << p.y() << " is " << seen.name().toStdString()
                          << ", not " << colour.name().toStdString();
    };
    for (const QPoint& p : curve) {
        expect(p, Qt::red);
        leftOfTheOldEdge += p.x() < 17;
    }
    for (int y = 0; y < 233; ++y)
        for (int x = 0; x < 455; ++x) {
            const auto [nearCurve, nearMean] = covered[std::size_t(y * 455 + x)];
            const int i = x / 13;
            const double v = 500.0 + i * 3596.0 / 35.0;
            const int g = v <= low ? 0 : v >= high ? 255 : int((v - low) * 255.0 / (high - low));
            if (nearCurve)
                continue;
            else if (nearMean) {
                if (std::abs(x - meanX) <= 1 && y >= lengthRow && y <= zeroRow)
                    expect({x, y}, QColor(255, 190, 50));
            } else if (y == zeroRow || y == lengthRow || (x % 13 == 1 && i % 5 == 0 && i >= 5))
                expect({x, y}, Qt::white);
            else
                expect({x, y}, x % 13 == 0 ? QColor(Qt::darkGray) : QColor(g, g, g));
        }
    // The lines from the implant's picture meet those two rows.
    for (int row : {zeroRow, lengthRow})
        for (int x = -4; x < 0; ++x) {
            expect({x, row}, Qt::white);
            expect({x, row + 1}, QApplication::palette().color(QPalette::Window));
        }
    EXPECT_EQ(wrong, 0) << "of " << checked;
    EXPECT_GT(leftOfTheOldEdge, 10) << "curve points left of the value 630";
    std::printf("diagram origin in the dialog %d,%d; mean %.1f on column %d, between the labels 0 (%d) and 500 (%d); "
                "%d curve points, %d of them left of column 17; %d pixels checked, %d wrong\n",
                origin.x(), origin.y(), dialog.getMeanDensity() - 1000.0, origin.x() + meanX,
                middle("0", false).x(), middle("500", false).x(), n, leftOfTheOldEdge, checked, wrong);
}

TEST(RangeSliderTest, DraggedHandlesLeaveNoOldPixelOnTheScreen)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    // As the control panel has it.
    CountingSlider slider(0, 4095, 100, 0, 2047, 4095, nullptr);
    slider.setFixedHeight(100);
    slider.move(100, 100);
    slider.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&slider));
    int changedAt = 0; // the paint count when a value last changed
    for (auto signal : {&RangeSlider::lowValueChanged, &RangeSlider::midValueChanged, &RangeSlider::highValueChanged})
        QObject::connect(&slider, signal, [&] { changedAt = slider.paints; });
    const QString display = qEnvironmentVariable("DISPLAY");
    const auto pointer = [&](int y, const QStringList& then) {
        const QPoint at = slider.mapToGlobal(QPoint(5, y));
        AppTest::xdotool(display,
                         QStringList{"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())} + then);
    };
    // Each handle pressed 5 pixels below its top, dragged through the places (pointer rows), each
    // move painted before the next, and released.
    const struct
    {
        int press;
        std::vector<int> moves;
    } drags[] = {{95, {80, 70, 85}}, {5, {20, 30, 15}}, {50, {45, 55, 52}}};
    for (const auto& drag : drags) {
        pointer(drag.press, {"mousedown", "1"});
        for (int y : drag.moves) {
            changedAt = std::numeric_limits<int>::max();
            pointer(y, {});
            ASSERT_TRUE(AppTest::waitFor([&] { return slider.paints > changedAt; }, 10000)) << "a move to " << y;
        }
        AppTest::xdotool(display, {"mouseup", "1"}); // (a move --sync to where the pointer is would wait for ever)
        ASSERT_TRUE(AppTest::waitFor([&] { return slider.dragState() == RangeSlider::Idle; }, 10000));
    }
    // The middle handle moved the whole window.
    const auto value = [&](int top) { return slider.valueFromPosition(top, slider.span()); };
    const int shift = value(47) - 2047;
    EXPECT_EQ(std::make_tuple(slider.low(), slider.mid(), slider.high()),
              std::make_tuple(value(80) + shift, value(47), value(10) + shift));

    // The screen against a fresh paint of the same state on a marked image: every pixel painted,
    // none left from a handle's earlier place.
    const QImage screen = onScreen(&slider);
    QImage fresh(slider.size(), QImage::Format_RGB32);
    fresh.fill(Qt::magenta);
    slider.render(&fresh, QPoint(), QRegion(), {});
    QImage both(41, 100, QImage::Format_RGB32);
    both.fill(Qt::white);
    {
        QPainter painter(&both);
        painter.drawImage(0, 0, screen);
        painter.drawImage(21, 0, fresh);
    }
    both.scaled(both.size() * 4).save(MORVANTA_BINARY_DIR "/tests/app/range_slider_dragged.png");
    int unpainted = 0;
    for (int y = 0; y < fresh.height(); ++y)
        for (int x = 0; x < fresh.width(); ++x)
            unpainted += fresh.pixel(x, y) == qRgb(255, 0, 255);
    std::string first;
    const int differ = differences(screen, fresh, first);
    EXPECT_EQ(unpainted, 0);
    EXPECT_EQ(differ, 0) << "pixel " << first;
    std::printf("after %d paints: %d of %d pixels differ from a fresh paint, %d unpainted\n", slider.paints, differ,
                int(fresh.width() * fresh.height()), unpainted);
}

TEST(ControlViewTest, TheBrightnessControlsLookDisabledWithoutAVolume)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    const QPalette colours = QApplication::palette();
    for (const bool volume : {false, true}) {
        SCOPED_TRACE(volume ? "with a volume" : "without a volume");
        const auto model = volume ? sampleModel()
                                  : std::make_shared<Model>(
                                        std::make_shared<Settings>(AppTest::built.toStdString() + "/Morvanta.ini"));
        // In a black frame, as the main widget's splitters are.
        QWidget frame;
        QPalette black = frame.palette();
        black.setColor(QPalette::Window, Qt::black);
        frame.setPalette(black);
        frame.setAutoFillBackground(true);
        auto* panel = new ControlView(model, &frame, "ControlView");
        panel->setFixedWidth(106);
        frame.resize(106, 800);
        model->attach(static_cast<Vexa::IObserver*>(panel));
        model->notify();
        auto* slider = panel->findChild<RangeSlider*>();
        auto* label = panel->findChild<QLabel*>("BrightnessLabel");
        ASSERT_EQ(slider->isEnabled(), volume);
        ASSERT_EQ(label->isEnabled(), volume);
        slider->reset(1000, 2047, 3000); // all three bands show
        frame.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&frame));
        const QImage drawnSlider = onScreen(slider), drawnLabel = onScreen(label);
        const QString state = volume ? "enabled" : "disabled";
        drawnSlider.save(MORVANTA_BINARY_DIR "/tests/app/brightness_slider_" + state + ".png");
        drawnLabel.save(MORVANTA_BINARY_DIR "/tests/app/brightness_label_" + state + ".png");

        // The slider's outlines and lower band in the foreground colour, its groove's sunken edge in
        // the dark colour of its state; enabled the band is black, disabled greyed. White stays.
        const auto group = volume ? QPalette::Active : QPalette::Disabled;
        const QColor ink = colours.color(group, QPalette::WindowText);
        const int midTop = slider->positionFromValue(2047, 90);
        EXPECT_EQ(drawnSlider.pixel(7, midTop + 9), ink.rgb()) << "the middle handle's lower edge";
        EXPECT_EQ(drawnSlider.pixel(8, slider->positionFromValue(500, 90)), volume ? qRgb(0, 0, 0) : ink.rgb());
        EXPECT_EQ(drawnSlider.pixel(2, midTop - 10), colours.color(group, QPalette::Dark).rgb()) << "the groove's edge";
        EXPECT_EQ(drawnSlider.pixel(8, slider->positionFromValue(3500, 90)), qRgb(255, 255, 255));
        // The label as Qt draws one with the same text and font in that state.
        QLabel reference(label->text());
        reference.setFont(label->font());
        reference.setAlignment(label->alignment());
        reference.resize(label->size());
        reference.setEnabled(volume);
        QImage expected(label->size(), QImage::Format_RGB32);
        expected.fill(colours.color(QPalette::Window));
        reference.render(&expected, QPoint(), QRegion(), {});
        std::string first;
        EXPECT_EQ(differences(drawnLabel, expected, first), 0) << first;
        model->detach(static_cast<Vexa::IObserver*>(panel));
    }
}
