#include "views/navigation/CanvasTransparentEllipse.h"
#include "shell/widgets/ListViewItem.h"
#include "shell/widgets/RangeSlider.h"
#include "shell/widgets/Slider.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include "ShellTestSupport.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Every signal of a range slider, in the order they came.
struct RangeSignals : ShellTest::SignalLog
{
    explicit RangeSignals(RangeSlider& s)
    {
        on(&s, &RangeSlider::lowValueChanged, "low").on(&s, &RangeSlider::midValueChanged, "mid");
        on(&s, &RangeSlider::highValueChanged, "high");
    }
};

std::vector<int> values(const RangeSlider& s)
{
    return {s.low(), s.mid(), s.high()};
}

}

TEST(RangeSlider, MovesAreClampedOrRefusedAndResetRestores)
{
    const struct
    {
        std::vector<int> window;
        bool symmetric;
        RangeSlider::DragState handle;
        int to;
        std::vector<int> after;
        std::vector<std::string> signalOrder;
    } rows[] = {
        {{1000, 1500, 3000}, false, RangeSlider::LowHandle, 2000, {1500, 1500, 3000}, {"low 1500"}},
        {{1000, 1500, 3000}, false, RangeSlider::HighHandle, 1000, {1000, 1500, 1500}, {"high 1500"}},
        {{1000, 1500, 3000}, false, RangeSlider::MidHandle, 1200, {700, 1200, 2700}, {"mid 1200", "high 2700", "low 700"}},
        {{0, 2047, 4095}, false, RangeSlider::MidHandle, 2000, {0, 2047, 4095}, {}},
        {{0, 2047, 4095}, false, RangeSlider::MidHandle, 2047, {0, 2047, 4095}, {"mid 2047", "high 4095", "low 0"}},
        {{1000, 1500, 2000}, true, RangeSlider::MidHandle, 1700, {1200, 1700, 2200}, {"high 2200", "low 1200", "mid 1700"}},
        {{1000, 1500, 2000}, true, RangeSlider::LowHandle, 1100, {1100, 1500, 1900}, {"high 1900", "low 1100"}},
        {{1000, 3000, 4000}, true, RangeSlider::LowHandle, 1000, {2000, 3000, 4000}, {}},
    };
    for (const auto& row : rows)
    {
        RangeSlider slider(0, 4095, 100, row.window[0], row.window[1], row.window[2], nullptr, row.symmetric);
        RangeSignals spy(slider);
        slider.setDragState(row.handle);
        slider.moveRangeSlider(row.to);
        EXPECT_EQ(values(slider), row.after) << row.handle << " to " << row.to;
        EXPECT_EQ(spy.got, row.signalOrder) << row.handle << " to " << row.to;
    }

    RangeSlider slider(0, 4095, 100, 1000, 1500, 3000, nullptr);
    slider.reset(100, 200, 300);
    slider.reset(-1, -1, -1);
    EXPECT_EQ(values(slider), (std::vector<int>{1000, 1500, 3000}));
    slider.reset(100, 200, 300);
    slider.reset(100, -1, 3000);
    EXPECT_EQ(values(slider), (std::vector<int>{100, 1500, 3000}));
    RangeSlider symmetric(0, 4095, 100, 0, 2047, 4095, nullptr, true);
    symmetric.reset(100, 500, 1500);
    EXPECT_EQ(values(symmetric), (std::vector<int>{100, 500, 900}));
}

TEST(RangeSlider, MouseDragsGrabByPriorityAndPaintTheBands)
{
    // 30 values a pixel over the span of 140, so every value below is reachable by the mouse.
    RangeSlider slider(0, 4200, 100, 1000, 1500, 3000, nullptr);
    slider.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&slider));
    RangeSignals spy(slider);
    const int span = slider.span();
    auto y = [&](int value) { return slider.positionFromValue(value, span); };

    QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(5, y(1500) + 5));
    EXPECT_EQ(slider.dragState(), RangeSlider::MidHandle);
    QMouseEvent move(QEvent::MouseMove, QPointF(5, y(1200) + 5), slider.mapToGlobal(QPointF(5, y(1200) + 5)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&slider, &move);
    QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(5, y(1200) + 5));
    EXPECT_EQ(slider.dragState(), RangeSlider::Idle);
    EXPECT_EQ(values(slider), (std::vector<int>{700, 1200, 2700}));
    ASSERT_GE(spy.got.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(spy.got.end() - 3, spy.got.end()),
              (std::vector<std::string>{"mid 1200", "high 2700", "low 700"}));

    const QImage shot = slider.grab().toImage();
    shot.save(MORVANTA_BINARY_DIR "/tests/shell/range_slider.png");
    EXPECT_EQ(shot.pixelColor(8, y(2700) / 2 + 2), QColor(Qt::white)) << "above the high handle";

    // Boxes overlapping: high wins over low, low over middle.
    slider.reset(2000, 2050, 2100);
    const struct
    {
        int y;
        RangeSlider::DragState grabbed;
    } presses[] = {{y(2000), RangeSlider::HighHandle}, {y(2000) + 9, RangeSlider::LowHandle}, {y(2100) - 1, RangeSlider::Idle}};
    for (const auto& p : presses)
    {
        QTest::mousePress(&slider, Qt::LeftButton, {}, QPoint(5, p.y));
        EXPECT_EQ(slider.dragState(), p.grabbed) << p.y;
        QTest::mouseRelease(&slider, Qt::LeftButton, {}, QPoint(5, p.y));
    }
}

TEST(Slider, ClickJumpsToTheTruncatedValueBeforeValueChanged)
{
    for (const auto& [orientation, click, value] :
         {std::tuple{Qt::Horizontal, QPoint(50, 8), 25}, {Qt::Horizontal, QPoint(199, 8), 99}, {Qt::Vertical, QPoint(8, 150), 75}})
    {
        Slider slider(orientation, nullptr);
        slider.setRange(0, 100);
        slider.resize(orientation == Qt::Horizontal ? QSize(200, 20) : QSize(20, 200));
        slider.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&slider));
        if (orientation == Qt::Vertical)
        {
            EXPECT_LT(slider.handleRect().center().y(), 20) << "the minimum lies at the top";
        }
        ShellTest::SignalLog log;
        log.on(&slider, qOverload<int>(&Slider::sliderPressed), "pressed").on(&slider, &QSlider::valueChanged, "value");
        QTest::mousePress(&slider, Qt::LeftButton, {}, click);
        EXPECT_EQ(slider.value(), value);
        log.got.resize(2);
        EXPECT_EQ(log.got, (std::vector<std::string>{"pressed " + std::to_string(value), "value " + std::to_string(value)}));
        QTest::mouseRelease(&slider, Qt::LeftButton, {}, click);
    }
}

TEST(ListViewItem, PressInsideTheCheckBitmapTogglesRowsAreThirtyPixels)
{
    QPixmap on(24, 24), off(24, 24);
    on.fill(Qt::green);
    off.fill(Qt::red);
    QTreeWidget tree;
    tree.setColumnCount(2);
    tree.setRootIsDecorated(false);
    auto* checked = new ListViewItem(&tree, {"Implant A", "4.1 mm"}, &on, &off);
    auto* plain = new ListViewItem(&tree, {"Implant B", "3.3 mm"});
    std::vector<bool> stateAtPress;
    QObject::connect(&tree, &QTreeWidget::itemPressed,
                     [&](QTreeWidgetItem* item) { stateAtPress.push_back(static_cast<ListViewItem*>(item)->isOn()); });
    tree.resize(400, 200);
    tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    const QRect first = tree.visualItemRect(checked), second = tree.visualItemRect(plain);
    EXPECT_EQ(first.height(), 30);
    EXPECT_EQ(second.height(), 30);
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, first.topLeft() + QPoint(5, 5));
    EXPECT_TRUE(checked->isOn());
    EXPECT_EQ(stateAtPress, std::vector<bool>{true}) << "toggled before the list reports the press";
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, first.topLeft() + QPoint(60, 5));
    EXPECT_TRUE(checked->isOn()) << "outside the bitmap";
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, second.topLeft() + QPoint(5, 5));
    EXPECT_TRUE(plain->isOn()) << "the bitmap's area toggles even a plain row";

    QTest::qWait(50);
    const QImage shot = tree.viewport()->grab().toImage();
    shot.save(MORVANTA_BINARY_DIR "/tests/shell/list_view_item.png");
    // The first item of the process that brought bitmaps decides them.
    EXPECT_EQ(shot.pixelColor(first.topLeft() + QPoint(12, 12)), ListViewItem::onImage().pixelColor(12, 12));
    EXPECT_EQ(shot.pixelColor(second.left() + 150, second.bottom()), QColor(212, 208, 200)) << "the grid";
}

TEST(CanvasTransparentEllipse, BoxesAndChordMatchAnOutsideDrawing)
{
    QGraphicsScene scene(0, 0, 200, 120);
    auto* ellipse = new CanvasTransparentEllipse(&scene);
    EXPECT_EQ(ellipse->type(), 2341234);
    EXPECT_FALSE(ellipse->isVisible());
    ellipse->setPos(100.7, 50.2);
    EXPECT_EQ(ellipse->sceneBoundingRect(), QRectF(77, 27, 46, 46));
    ellipse->setPen(QPen(Qt::blue, 0));
    EXPECT_EQ(ellipse->sceneBoundingRect(), QRectF(78, 28, 44, 44));

    // A 184 degree segment drawn clockwise from 2 degrees, compared with Pillow's chord of the
    // same box (Pillow counts degrees clockwise).
    ellipse->setPen(QPen(Qt::blue, 1));
    ellipse->setBrush(Qt::red);
    ellipse->setPos(100, 60);
    ellipse->setSize(80, 60);
    ellipse->setAngles(32, -2944);
    ellipse->show();
    QGraphicsView view(&scene);
    view.setFrameShape(QFrame::NoFrame);
    view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view.setFixedSize(200, 120);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const QImage shot = view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    shot.save(MORVANTA_BINARY_DIR "/tests/shell/ellipse.png");

    const QString oracle = QString(MORVANTA_BINARY_DIR) + "/tests/shell/ellipse_pil.png";
    if (QProcess::execute("/usr/bin/python3", {"-c",
                                               "import sys; from PIL import Image, ImageDraw\n"
                                               "im = Image.new('RGB', (200, 120), 'white')\n"
                                               "ImageDraw.Draw(im).chord((60, 30, 139, 89), -2, 182, fill='red')\n"
                                               "im.save(sys.argv[1])",
                                               oracle}) != 0)
        GTEST_SKIP() << "python3-pil is missing";
    const QImage expected(oracle);
    ASSERT_EQ(expected.size(), shot.size());
    int drawn = 0, differ = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
        {
            const bool ours = shot.pixel(x, y) != qRgb(255, 255, 255);
            const bool theirs = expected.pixel(x, y) != qRgb(255, 255, 255);
            drawn += theirs;
            differ += ours != theirs;
        }
    // Pixels may differ only along the edge (the outline and rounding of the two rasterisers):
    // at most 100, about half the half ellipse's perimeter (53 measured).
    EXPECT_GT(drawn, 1700);
    EXPECT_LE(differ, 100) << "of " << drawn;
    std::printf("chord: %d of %d pixels differ from the oracle\n", differ, drawn);
    // The outline follows the curved side only: the straight chord is not blue.
    EXPECT_EQ(shot.pixelColor(100, 90), QColor(Qt::blue)) << "the arc along the bottom";
    for (int x = 70; x <= 130; x += 10)
        EXPECT_NE(shot.pixelColor(x, 59), QColor(Qt::blue)) << x;
}
