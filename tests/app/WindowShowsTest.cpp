// What the window shows, read back from the X server's screen, after the user's own presses typed
// by xdotool: Length switched off after its first point takes the point away; a frame's Filter
// button and its view's smoothing agree after a new import; a zoom-in the view refuses at its
// limit leaves every pixel of the frame as it was; the Navigation button is ready right after a
// save; the views' delete questions stand over their view; the drawn curve's panoramic image
// fits its frame with its caption. And the save dialog's jaw choice is written in the dialog's
// font.
#include "AppTestSupport.h"

#include "planning/commands/AddNerveElementPointCommand.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/SaveDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/CommandProcessor.h"
#include "views/OpenGL2DView.h"
#include "views/PanoramicView.h"

#include <QPainter>
#include <QPointer>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QToolButton>
#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>

namespace {

using AppTest::onScreen;
using AppTest::waitFor;
using AppTest::xClick;

// The program's window over the sample patient, imported as the Patient button does it (or, for
// a start that reloads what an earlier one saved in the same folder, empty).
struct Planning
{
    explicit Planning(std::shared_ptr<AppTest::AppFolder> folder = std::make_shared<AppTest::AppFolder>(),
                      bool import = true)
        : shared(std::move(folder)), home(*shared)
    {
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        exposed = QTest::qWaitForWindowExposed(window.get());
        if (!import)
            return;
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
    // The frame showing the view of that name.
    ViewFrame* frameOf(const QString& view) const
    {
        for (ViewFrame* f : window->findChildren<ViewFrame*>())
            if (f->getView() && f->getView()->objectName() == view)
                return f;
        return nullptr;
    }
    // The panoramic curve drawn with three clicks in the axial view; whether it has them.
    bool drawCurve() const
    {
        QWidget* axial = frameOf("Axial")->getView();
        if (!waitFor([&] { return axial->isVisible(); }, 30000))
            return false;
        const auto line = window->getModel()->getPanoramicLine();
        for (const QPointF& corner : AppTest::archCurve) {
            const std::size_t before = line->numberOfCorners();
            xClick(axial, corner);
            if (!waitFor([&] { return line->numberOfCorners() == before + 1; }, 10000))
                return false;
        }
        return true;
    }
    std::shared_ptr<AppTest::AppFolder> shared;
    AppTest::AppFolder& home;
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

// The pixel of the widget at a place given as fractions of its size.
QPoint pixel(const QWidget* widget, const QPointF& at)
{
    return QPoint(int(at.x() * widget->width()), int(at.y() * widget->height()));
}

// A double click by the X server at a place of the widget given as fractions of its size.
void xDoubleClick(QWidget* widget, const QPointF& at)
{
    const QPoint p = widget->mapToGlobal(pixel(widget, at));
    AppTest::xdotool(qEnvironmentVariable("DISPLAY"),
                     {"mousemove", QString::number(p.x()), QString::number(p.y()), "click", "--repeat", "2", "--delay",
                      "60", "1"});
}

int nervePoints(Nerve& nerve)
{
    int points = 0;
    for (auto it = nerve.elementsBegin(); it != nerve.elementsEnd(); ++it)
        points += int(it->second->getPointContainer().size());
    return points;
}

// The box around the text's ink within `area` of a picture of dark text on a light ground.
QRect ink(const QImage& picture, const QRect& area)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(picture.pixel(x, y)) < 128)
                box |= QRect(x, y, 1, 1);
    return box;
}

// Presses the frame's zoom-in button, each time once the view has the size the last press gave it.
void zoomIn(ViewFrame* frame, int times)
{
    auto* button = frame->findChild<QPushButton*>("ZoomInButton");
    QWidget* view = frame->getView();
    int clicks = 0;
    const auto counting = QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    for (int i = 1; i <= times; ++i) {
        xClick(button);
        EXPECT_TRUE(waitFor([&] { return clicks == i && view->size() == view->sizeHint(); }, 10000)) << "press " << i;
    }
    QObject::disconnect(counting);
}

// The frame's select button and the view's button in the offer, as a person does it; the frame
// then shows a new view of that name.
void chooseView(ViewFrame* frame, const QString& view)
{
    const QPointer<QWidget> before = frame->getView();
    AppTest::DialogAnswerer answer;
    answer.then([&view](QWidget* modal) {
        if (!modal->windowHandle() || !modal->windowHandle()->isExposed())
            return false;
        for (QPushButton* b : modal->findChildren<QPushButton*>())
            if (b->text() == view)
                return xClick(b), true;
        return false;
    });
    xClick(frame->findChild<QPushButton*>("SelectViewButton"));
    ASSERT_TRUE(waitFor([&] {
        return answer.done() && !before && frame->getView()->objectName() == view;
    }, 30000));
}

// The widget as the screen shows it after every event the last input caused: the layouts and the
// scroll position settled, then painted at once.
QImage settled(QWidget* widget)
{
    QApplication::sendPostedEvents();
    QApplication::processEvents();
    widget->repaint();
    return onScreen(widget);
}

// What the frame of a 2D view shows on the screen, against where its layout puts things: the
// whole image there pixel for pixel, the caption below it in sight with its letters in the
// view's colour, no scroll bar, and, for a view fitted to its frame, the image as wide or as
// high as the room allows. What does not hold; nothing when the view fits its frame.
QStringList unfitted(ViewFrame* frame, bool fitted, const QString& png)
{
    auto* view = qobject_cast<OpenGL2DView*>(frame->getView());
    auto* caption = frame->findChild<QLabel*>("Caption");
    ViewFrame::ScrollView* scroll = frame->scrollView();
    if (!view || !caption)
        return {"no 2D view with a caption in " + frame->objectName()};
    const QString name = view->objectName();
    QStringList found;
    const QImage shown = settled(frame);
    save(shown, png);
    if (scroll->verticalScrollBar()->isVisible() || scroll->horizontalScrollBar()->isVisible())
        found << name + ": a scroll bar";
    const QRect visible(scroll->viewport()->mapTo(frame, QPoint()), scroll->viewport()->size());
    const QRect image(view->mapTo(frame, QPoint()), view->size());
    const QRect text(caption->mapTo(frame, QPoint()), caption->size());
    if (!visible.contains(image) || !visible.contains(text))
        found << name + ": the image or its caption reaches out of sight";
    if (fitted && image.width() < visible.width() - 1 && image.height() + text.height() < visible.height() - 1)
        found << name + ": the image is smaller than its frame";
    std::string first;
    const QImage drawn = view->grabFramebuffer().convertToFormat(QImage::Format_RGB32);
    if (const int differ = AppTest::differences(shown.copy(image), drawn, first))
        found << QString("%1: %2 pixels of the image are not on the screen, the first %3")
                     .arg(name)
                     .arg(differ)
                     .arg(QString::fromStdString(first));
    const QColor colour = view->getColorID();
    int letters = 0;
    const QRect letterArea = text & shown.rect();
    for (int y = letterArea.top(); y <= letterArea.bottom(); ++y)
        for (int x = letterArea.left(); x <= letterArea.right(); ++x) {
            const QColor c = shown.pixelColor(x, y);
            letters += std::abs(c.red() - colour.red()) < 60 && std::abs(c.green() - colour.green()) < 60 &&
                       std::abs(c.blue() - colour.blue()) < 60;
        }
    if (letters < 30)
        found << QString("%1: %2 pixels of the caption's letters on the screen").arg(name).arg(letters);
    std::printf("%s: image %dx%d and caption %dx%d in a visible area of %dx%d, zoom %.3f, %d letter pixels\n",
                qPrintable(png), image.width(), image.height(), text.width(), text.height(), visible.width(),
                visible.height(), view->getZoom(), letters);
    return found;
}

// Whether this process runs the test, on an X server of its own: false without an X display
// (the test skipped), and in the process that started the one that ran it.
bool onOwnXServer()
{
    if (QGuiApplication::platformName() == "offscreen") {
        [] { GTEST_SKIP() << "needs an X display"; }();
        return false;
    }
    return AppTest::rerunOnOwnXServer();
}

}

TEST(WindowShows, LengthSwitchedOffAfterItsFirstPointTakesThePointAway)
{
    if (!onOwnXServer())
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

TEST(WindowShows, FilterButtonAndTheViewsSmoothingAgreeAfterANewImport)
{
    if (!onOwnXServer())
        return;
    Planning planning;
    ASSERT_TRUE(planning.imported);
    ViewFrame* frame = planning.frame("RightLowerFrame");
    QWidget* axial = frame->getView();
    auto* filter = frame->findChild<QPushButton*>("FilterOnOffButton");
    ASSERT_TRUE(axial && filter && !filter->isChecked());
    ASSERT_TRUE(waitFor([&] { return axial->isVisible(); }, 30000));
    // Magnified, where the filtering shows (at the start a pixel of the view is a voxel).
    const auto magnify = [&] {
        zoomIn(frame, 3);
        return std::abs(qobject_cast<OpenGL2DView*>(axial)->getZoom() - std::pow(1.3, 3)) < 1e-9;
    };
    ASSERT_TRUE(magnify());
    const QImage nearest = settled(axial);
    xClick(filter);
    ASSERT_TRUE(waitFor([&] { return filter->isChecked() && onScreen(axial) != nearest; }, 10000)) << "Filter smooths";
    const QImage smooth = settled(axial);
    std::string first;
    std::printf("smoothing changes %d of %d pixels of the axial view\n", AppTest::differences(smooth, nearest, first),
                int(nearest.width() * nearest.height()));

    // Patient, "New planning without save", "Start new planning", the sample patient again.
    AppTest::DialogAnswerer answer;
    answer.then(AppTest::clickButton("SaveDialog", "New planningwithout save"));
    answer.then(AppTest::clickButton("LoadDialog", "Start new planning"));
    answer.then(AppTest::openFirstStudy);
    const auto model = planning.window->getModel();
    xClick(planning.window->findChild<QToolButton*>("PatientButton"));
    ASSERT_TRUE(waitFor([&] { return answer.done() && !QApplication::activeModalWidget() && model->getVolumeData(); }))
        << answer.seen.join(", ").toStdString();
    ASSERT_TRUE(magnify()) << "a new planning starts at the first zoom";
    QImage shown;
    ASSERT_TRUE(waitFor([&] { return (shown = settled(axial)) == nearest || shown == smooth; }, 30000))
        << "the view shows the same slice again";
    save(shown, QString("filter-after-import-") + (filter->isChecked() ? "pressed" : "released"));
    EXPECT_EQ(filter->isChecked(), shown == smooth) << "the button shows the view's filtering";
    EXPECT_FALSE(filter->isChecked()) << "a new planning starts unfiltered";
    // The next press smooths.
    xClick(filter);
    EXPECT_TRUE(waitFor([&] { return filter->isChecked() && settled(axial) == smooth; }, 10000));
}

TEST(WindowShows, ZoomInTheViewRefusesLeavesEveryPixelOfTheFrame)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    // Screens on which the frame lets the seventh zoom-in through and the view refuses it.
    const struct
    {
        QSize screen;
        const char* view;
    } cases[] = {{{1920, 1080}, "Coronal"}, {{2560, 1600}, "Axial"}};
    for (const auto& c : cases) {
        if (!AppTest::rerunOnOwnXServer(QString("%1x%2x24").arg(c.screen.width()).arg(c.screen.height())) ||
            QGuiApplication::primaryScreen()->size() != c.screen)
            continue;
        const std::string name = QString("%1x%2-%3").arg(c.screen.width()).arg(c.screen.height()).arg(c.view).toStdString();
        SCOPED_TRACE(name);
        Planning planning;
        ASSERT_TRUE(planning.imported);
        ViewFrame* frame = planning.frame("RightLowerFrame");
        if (frame->getView()->objectName() != c.view)
            chooseView(frame, c.view);
        auto* view = qobject_cast<OpenGL2DView*>(frame->getView());
        auto* button = frame->findChild<QPushButton*>("ZoomInButton");
        ASSERT_TRUE(view && button);
        ASSERT_TRUE(waitFor([&] { return view->isVisible(); }, 30000));
        zoomIn(frame, 6);
        ASSERT_NEAR(view->getZoom(), std::pow(1.3, 6), 1e-9) << "six steps, all taken";
        const QImage before = settled(frame);
        const QSize size = view->size();
        const double zoom = view->getZoom();
        bool clicked = false;
        QObject::connect(button, &QPushButton::clicked, [&] { clicked = true; });
        xClick(button);
        ASSERT_TRUE(waitFor([&] { return clicked; }, 10000));
        const QImage after = settled(frame);
        EXPECT_EQ(view->getZoom(), zoom) << "the view refused";
        EXPECT_EQ(view->size(), size);
        save(before, QString::fromStdString("zoom-limit-before-" + name));
        save(after, QString::fromStdString("zoom-limit-after-" + name));
        std::string first;
        const int differ = AppTest::differences(after, before, first);
        EXPECT_EQ(differ, 0) << "pixel " << first;
        std::printf("%s: the refused zoom-in changed %d of %d pixels of the frame\n", name.c_str(), differ,
                    int(before.width() * before.height()));
    }
}

TEST(WindowShows, SaveDialogWritesTheJawChoiceInItsFont)
{
    if (!onOwnXServer())
        return;
    SaveDialog dialog(nullptr, nullptr, "Quit\nwithout save");
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const QImage shown = settled(&dialog);
    save(shown, "save-dialog");
    for (QRadioButton* radio : dialog.findChildren<QRadioButton*>()) {
        SCOPED_TRACE(radio->text().toStdString());
        // The label's part of the button, on the screen.
        QStyleOptionButton option;
        option.initFrom(radio);
        const QRect label = radio->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
        const QRect seen = ink(shown, label.translated(radio->mapTo(&dialog, QPoint())));
        // The same text drawn in the dialog's font.
        QImage drawn(label.size() * 2, QImage::Format_RGB32);
        drawn.fill(Qt::white);
        {
            QPainter painter(&drawn);
            painter.setFont(dialog.font());
            painter.setPen(Qt::black);
            painter.drawText(drawn.rect(), Qt::AlignCenter, radio->text());
        }
        const QRect expected = ink(drawn, drawn.rect());
        ASSERT_FALSE(seen.isEmpty());
        EXPECT_NEAR(seen.width(), expected.width(), 1) << "pixels wide";
        EXPECT_NEAR(seen.height(), expected.height(), 1) << "pixels high";
        std::printf("\"%s\": %dx%d pixels on the screen, %dx%d in the dialog's font\n", qPrintable(radio->text()),
                    seen.width(), seen.height(), expected.width(), expected.height());
    }
}

TEST(WindowShows, NavigationButtonIsReadyRightAfterTheSave)
{
    if (!onOwnXServer())
        return;
    Planning planning;
    ASSERT_TRUE(planning.imported && planning.drawCurve());
    const auto model = planning.window->getModel();
    auto* navigation = planning.window->findChild<QToolButton*>("NavigationButton");
    xClick(planning.window->findChild<QToolButton*>("Generate 3DButton"));
    ASSERT_TRUE(waitFor([&] { return model->get3DModel() && !QApplication::activeModalWidget(); }));

    const auto saveAsNewWithMandible = [&] {
        // Patient: "Save as new" with Mandible, then the load dialog is cancelled: the planning stays.
        AppTest::DialogAnswerer answer;
        answer.then([](QWidget* modal) {
            if (!qobject_cast<SaveDialog*>(modal))
                return false;
            for (QRadioButton* jaw : modal->findChildren<QRadioButton*>())
                if (jaw->text() == "Mandible")
                    jaw->click();
            return AppTest::clickButton("SaveDialog", "Save as new")(modal);
        });
        answer.then(AppTest::clickButton("LoadDialog", "Cancel"));
        xClick(planning.window->findChild<QToolButton*>("PatientButton"));
        EXPECT_TRUE(waitFor([&] { return answer.done() && !QApplication::activeModalWidget(); }))
            << answer.seen.join(", ").toStdString();
    };
    const auto reload = [&] {
        ASSERT_TRUE(planning.window->loadPlanning(planning.window->getSettings()->getPlanningFile()));
    };
    const struct
    {
        const char* step;
        std::function<void()> act;
        bool ready;
    } steps[] = {
        {"Generate 3D", [] {}, false},
        {"Save as new with Mandible", saveAsNewWithMandible, true},
        {"reload", reload, true},
    };
    for (const auto& step : steps) {
        step.act();
        // Read at once: nothing after the step may be what brings the button round.
        EXPECT_EQ(model->isReadyForNavigation(), step.ready) << step.step;
        EXPECT_EQ(navigation->isEnabled(), step.ready) << step.step;
    }
}

TEST(WindowShows, DeleteQuestionsStandOverTheirViewAndOnlyYesDeletes)
{
    if (!onOwnXServer())
        return;
    Planning planning;
    ASSERT_TRUE(planning.imported && planning.drawCurve());
    const auto model = planning.window->getModel();
    const auto nerve = model->getNerve();
    const auto line = model->getPanoramicLine();
    model->calcNerveEnvironments();
    // One implant on the curve, so that the cross-sectional view has a section.
    auto* panoramic = qobject_cast<PanoramicView*>(planning.frameOf("Panoramic")->getView());
    ASSERT_TRUE(panoramic && waitFor([&] { return panoramic->isVisible(); }, 30000));
    model->getImplantManager()->addImplant(Implant::createFromFile(
        Vexa::Matrix44<double>(panoramic->getWorldPos(0.7 * panoramic->width(), 0.5 * panoramic->height())), 0,
        planning.home.path("ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant").toStdString()));
    model->setStateAndUpdate(Model::NerveTracing);
    model->notify();
    // An element of the old format along the curve, left of where the nerve's sides divide.
    const auto addOldElement = [&] {
        const int end = panoramic->getDividePlaneColumn().value_or(panoramic->width() / 2) - 10;
        auto element = Nerve::Element::create(line, Nerve::Element::OldFormat);
        for (int x = 10; x < end; x += 10) {
            const QPoint p = pixel(panoramic, {0.0, 0.6});
            auto point = Nerve::Element::Point::create(panoramic->getWorldPos(x, p.y()), 2.0);
            point->offset = line->getOffset(point->position).second;
            element->simpleAddPoint(point);
        }
        ASSERT_TRUE(nerve->addElement(element));
        model->notify();
    };
    const auto elements = [&] { return int(std::distance(nerve->elementsBegin(), nerve->elementsEnd())); };
    // A nerve point where the double click will be.
    const auto addPoint = [&](const char* name, QPointF at) {
        return [&, name, at] {
            auto* view = qobject_cast<OpenGL2DView*>(planning.frameOf(name)->getView());
            const QPoint p = pixel(view, at);
            Vexa::CommandProcessor::getInstance()->execute(
                AddNerveElementPointCommand::create(nerve, view->getWorldPos(p.x(), p.y()), 3.0));
            model->notify();
        };
    };
    const struct
    {
        const char* view;
        QPointF at;
        std::function<void()> setUp; // puts there what the question is about (the curve is there)
        bool adds;
        QString question;
        std::function<int()> count; // of what the question deletes
    } cases[] = {
        {"Panoramic", {0.8, 0.4}, addPoint("Panoramic", {0.8, 0.4}), true, "Do you want to delete this nerve point?",
         [&] { return nervePoints(*nerve); }},
        {"Cross-sectional", {0.5, 0.4}, addPoint("Cross-sectional", {0.5, 0.4}), true,
         "Do you want to delete this nerve point?", [&] { return nervePoints(*nerve); }},
        {"Panoramic", {40.0 / panoramic->width(), 0.6}, addOldElement, true,
         "Do you want to delete this nerve element?", elements},
        {"Axial", AppTest::archCurve[2], [&] { model->setStateAndUpdate(Model::NormalInput); }, false,
         "Do you really want to delete this panoramic point?", [&] { return int(line->numberOfCorners()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QString("%1: %2").arg(c.view, c.question).toStdString());
        QWidget* view = planning.frameOf(c.view)->getView();
        // Where the view is once the layouts have taken in what changed (the implant's section).
        ASSERT_TRUE(waitFor([&] { return view->isVisible() && view->size() == view->sizeHint(); }, 30000));
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const int before = c.count();
        c.setUp();
        ASSERT_TRUE(waitFor([&] { return c.count() == before + int(c.adds); }, 10000)) << "set up: " << c.count();
        const int there = c.count();
        for (const QString answer : {"Cancel", "No", "Yes"}) {
            QString caption, text;
            QStringList buttons;
            QWidget* parent = nullptr;
            QRect box;
            AppTest::DialogAnswerer answerer;
            answerer.then([&](QWidget* modal) {
                auto* dialog = qobject_cast<MessageDialog*>(modal);
                if (!dialog || !dialog->windowHandle() || !dialog->windowHandle()->isExposed())
                    return false;
                caption = dialog->windowTitle();
                text = dialog->findChild<QLabel*>()->text();
                buttons = ShellTest::captions(ShellTest::buttonsInOrder(*dialog));
                parent = dialog->parentWidget();
                box = dialog->frameGeometry();
                if (answer == "Cancel")
                    save(dialog->screen()->grabWindow(0).toImage(),
                         QString("delete-question-%1-%2").arg(c.view, c.question.section(' ', -1).chopped(1)));
                return AppTest::clickButton("MessageDialog", answer)(modal);
            });
            xDoubleClick(view, c.at);
            ASSERT_TRUE(waitFor([&] { return answerer.done() && !QApplication::activeModalWidget(); }, 30000))
                << answer.toStdString() << ": " << answerer.seen.join(", ").toStdString();
            EXPECT_EQ(caption, "Attention");
            EXPECT_EQ(text, c.question);
            EXPECT_EQ(buttons, QStringList({"Yes", "No", "Cancel"}));
            EXPECT_EQ(parent, view);
            const QRect seen = view->visibleRegion().boundingRect();
            const QPoint middle = view->mapToGlobal(seen.center());
            EXPECT_TRUE(box.contains(middle)) << "the box stands over the view";
            EXPECT_TRUE(view->screen()->geometry().contains(box));
            EXPECT_EQ(c.count(), answer == "Yes" ? there - 1 : there) << answer.toStdString();
            std::printf("%s: \"%s\" at %d,%d %dx%d over the view's middle %d,%d; %s: %d -> %d\n", c.view,
                        qPrintable(c.question), box.x(), box.y(), box.width(), box.height(), middle.x(), middle.y(),
                        qPrintable(answer), there, c.count());
        }
    }
}

TEST(WindowShows, PanoramicImageOfTheDrawnCurveFitsItsFrameWithItsCaption)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const QSize screen : {QSize(1920, 1080), QSize(1280, 1024)}) {
        if (!AppTest::rerunOnOwnXServer(QString("%1x%2x24").arg(screen.width()).arg(screen.height())) ||
            QGuiApplication::primaryScreen()->size() != screen)
            continue;
        const QString name = QString("%1x%2").arg(screen.width()).arg(screen.height());
        SCOPED_TRACE(name.toStdString());
        Planning planning;
        ASSERT_TRUE(planning.imported && planning.drawCurve());
        ViewFrame* frame = planning.frameOf("Panoramic");
        QWidget* view = frame->getView();
        ASSERT_TRUE(waitFor([&] { return view->isVisible() && view->size() == view->sizeHint(); }, 30000));
        const QStringList found = unfitted(frame, true, "panoramic-fit-" + name);
        EXPECT_TRUE(found.isEmpty()) << found.join("\n").toStdString();
    }
}

namespace {

// A session that draws the curve, places an implant, saves as new and ends with OK; then the
// program started again with its window at that size, the planning reloaded through Patient.
// Every 2D view fits its frame with its caption, after the reload, after Panoramic is pressed on a
// zoomed-in image and after the panoramic view is chosen anew for its frame.
void reloadedViewsFitTheirFrames(const QSize size)
{
    const QString name = QString("%1x%2").arg(size.width()).arg(size.height());
    SCOPED_TRACE(name.toStdString());
    const auto home = std::make_shared<AppTest::AppFolder>();
    {
        Planning first(home);
        ASSERT_TRUE(first.imported && first.drawCurve());
        auto* panoramic = qobject_cast<PanoramicView*>(first.frameOf("Panoramic")->getView());
        ASSERT_TRUE(panoramic && waitFor([&] { return panoramic->isVisible(); }, 30000));
        first.window->getModel()->getImplantManager()->addImplant(Implant::createFromFile(
            Vexa::Matrix44<double>(panoramic->getWorldPos(0.5 * panoramic->width(), 0.5 * panoramic->height())), 0,
            home->path("ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant").toStdString()));
        AppTest::DialogAnswerer answer;
        answer.then(AppTest::clickButton("SaveDialog", "Save as new"));
        xClick(first.window->findChild<QToolButton*>("OKButton"));
        ASSERT_TRUE(waitFor([&] { return answer.done() && !first.window->isVisible(); }))
            << answer.seen.join(", ").toStdString();
    }
    Planning again(home, false);
    ASSERT_TRUE(again.exposed);
    again.window->setGeometry(QRect(QPoint(), size));
    ASSERT_TRUE(waitFor([&] { return again.window->geometry() == QRect(QPoint(), size); }, 10000));
    const auto model = again.window->getModel();
    AppTest::DialogAnswerer answer;
    answer.then(AppTest::clickButton("LoadDialog", "Reload planning"));
    answer.then(AppTest::openFirstStudy);
    xClick(again.window->findChild<QToolButton*>("PatientButton"));
    ASSERT_TRUE(waitFor([&] {
        return answer.done() && !QApplication::activeModalWidget() &&
               model->getImplantManager()->numberOfImplants() == 1;
    })) << answer.seen.join(", ").toStdString();
    const struct
    {
        const char* step;
        std::function<void()> act;
    } steps[] = {
        {"reloaded", [] {}},
        {"zoomed in, then Panoramic pressed",
         [&] {
             zoomIn(again.frameOf("Panoramic"), 2);
             xClick(again.window->findChild<QToolButton*>("PanoramicButton"));
             ASSERT_TRUE(waitFor([&] { return model->getState() == Model::PanoramicLineInput; }, 10000));
         }},
        {"the Panoramic view chosen anew for its frame", [&] { chooseView(again.frameOf("Panoramic"), "Panoramic"); }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        step.act();
        QStringList found;
        // The axial view shows a voxel a pixel.
        for (const auto& [view, fitted] : {std::pair{"Panoramic", true}, {"Cross-sectional", true}, {"Axial", false}}) {
            ViewFrame* frame = again.frameOf(view);
            ASSERT_TRUE(frame) << view;
            QWidget* shown = frame->getView();
            ASSERT_TRUE(waitFor([&] { return shown->isVisible() && shown->size() == shown->sizeHint(); }, 30000)) << view;
            found << unfitted(frame, fitted, QString("reload-fit-%1-%2-%3").arg(name, view).arg(&step - steps));
        }
        save(onScreen(again.window.get()), QString("reload-fit-%1-window-%2").arg(name).arg(&step - steps));
        EXPECT_TRUE(found.isEmpty()) << found.join("\n").toStdString();
    }
}

}

TEST(WindowShows, AfterAReloadEveryViewFitsItsFrameWithItsCaption)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    // The tests' X servers are no smaller than 1280x1024: the window is given 1024x768 there.
    const struct
    {
        QSize screen;
        std::vector<QSize> windows;
    } servers[] = {{{1920, 1080}, {{1920, 1080}}}, {{1280, 1024}, {{1280, 1024}, {1024, 768}}}};
    for (const auto& server : servers)
        if (AppTest::rerunOnOwnXServer(QString("%1x%2x24").arg(server.screen.width()).arg(server.screen.height())) &&
            QGuiApplication::primaryScreen()->size() == server.screen)
            for (const QSize window : server.windows)
                reloadedViewsFitTheirFrames(window);
}
