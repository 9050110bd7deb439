#include "DisplayTestSupport.h"

#include "views/navigation/TargetingView.h"

#include <QAbstractGraphicsShapeItem>
#include <QGraphicsScene>
#include <QResizeEvent>
#include <gtest/gtest.h>

using namespace DisplayTest;
using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

class TargetingViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        source->implant = implantAt(Matrix44<double>());
        host.resize(800, 600);
        view = new TargetingView(source, &host);
        view->resize(800, 600);
        host.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
    }
    QImage refreshed()
    {
        view->refresh();
        return grab(*view);
    }
    // Bull's-eye centre and one display unit in pixels at 800 x 600; probes keep 4 px off the
    // cross lines, which lie over the dots.
    static constexpr double cx = 0.558 * 800 + 4, cy = 0.517 * 600 + 4, unit = 0.3 * 600;

    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
    QWidget host;
    TargetingView* view = nullptr;
};

Matrix44<double> tilted(const Vector3D& axis, const Vector3D& origin)
{
    const Vector3D z = axis.getNormalized();
    const Vector3D x = Vector3D(0, 1, 0).cross(z).getNormalized();
    return Matrix44<double>(x, z.cross(x), z, origin);
}

}

TEST_F(TargetingViewTest, DrillValuesOfHandComputedPoses)
{
    // The implant's axis along the drill's z is coaxial; the drill tip 2 mm towards +x sees the
    // implant's axis at -2 mm in its own frame.
    const struct
    {
        const char* name;
        Matrix44<double> drill, implant;
        double px, py, ex, ey;
        bool aligned;
    } poses[] = {
        {"coaxial", Matrix44<double>(), Matrix44<double>(Vector3D(0, 0, -5)), 0, 0, 0, 0, true},
        {"tip 2 mm along +x", Matrix44<double>(Vector3D(2, 0, 0)), Matrix44<double>(), -0.4, 0, 0, 0, true},
        {"implant 2 mm along +y", Matrix44<double>(), Matrix44<double>(Vector3D(0, 2, 0)), 0, 0.4, 0, 0, true},
        {"1 mm at 10 mm", Matrix44<double>(), tilted(Vector3D(1, 0, 10), Vector3D()), 0, 0, 0.4, 0, true},
        {"perpendicular", Matrix44<double>(), tilted(Vector3D(1, 0, 0), Vector3D()), 0, 0, 0, 0, false},
        {"opposite", Matrix44<double>(), tilted(Vector3D(0, 0.001, -1), Vector3D()), 0, 0, 0, -0.004, false},
    };
    for (const auto& pose : poses) {
        source->drill = pose.drill;
        source->implant = implantAt(pose.implant);
        source->depth = 3.5;
        view->calcDrillValues();
        const auto& v = view->drillValues();
        EXPECT_NEAR(pose.px, v.positionX, 1e-9) << pose.name;
        EXPECT_NEAR(pose.py, v.positionY, 1e-9) << pose.name;
        EXPECT_NEAR(pose.ex, v.excursionX, 1e-9) << pose.name;
        EXPECT_NEAR(pose.ey, v.excursionY, 1e-9) << pose.name;
        EXPECT_EQ(pose.aligned, v.aligned) << pose.name;
        EXPECT_EQ(3.5, v.depth) << pose.name;
    }
    source->implant.reset();
    view->calcDrillValues();
    EXPECT_EQ(0.0, view->drillValues().depth);
    EXPECT_FALSE(view->drillValues().aligned);
}

TEST_F(TargetingViewTest, DotsLampsAndTargetDiscOnScreen)
{
    const QPoint lamp(int(0.055 * 800), 300), disc(int(cx + 100), int(cy + 100));
    // Drill tip 2 mm along +x: the position dot 0.4 units above the centre (x runs down).
    source->drill = Matrix44<double>(Vector3D(2, 0, 0));
    QImage image = refreshed();
    save(image, "targeting-2mm");
    EXPECT_TRUE(near(image.pixelColor(int(cx), int(cy - 0.4 * unit)), Qt::blue));
    EXPECT_TRUE(near(image.pixelColor(int(cx), int(cy)), Qt::red)) << "excursion dot at the centre";
    EXPECT_TRUE(near(image.pixelColor(lamp), Qt::green));
    EXPECT_TRUE(near(image.pixelColor(disc), Qt::green));

    // The disc is green only while registered and the handpiece colour is green.
    source->color = Vexa::Vector4<float>(0, 0, 1, 1);
    EXPECT_TRUE(near(refreshed().pixelColor(disc), Qt::white));
    source->color = Vexa::Vector4<float>(0, 1, 0, 1);
    source->registered = false;
    image = refreshed();
    EXPECT_TRUE(near(image.pixelColor(disc), Qt::white));
    EXPECT_FALSE(near(image.pixelColor(int(cx), int(cy - 0.4 * unit)), Qt::blue)) << "no dot unregistered";

    // A tracker lost: its lamp red, the dots gone.
    source->registered = true;
    source->tool = false;
    image = refreshed();
    EXPECT_TRUE(near(image.pixelColor(lamp), Qt::red));
    EXPECT_FALSE(near(image.pixelColor(int(cx), int(cy)), Qt::red));
}

TEST_F(TargetingViewTest, DotLimitsAndMisalignedAxesHideTheDots)
{
    // Position r = 1.2 (6 mm) and excursion r = 1.3 (3.25 mm at 10 mm) still show.
    const struct
    {
        Vector3D tip;
        Vector3D axis;
        bool position, excursion;
    } cases[] = {
        {{6.0, 0, 0}, {0, 0, 1}, true, true},
        {{6.05, 0, 0}, {0, 0, 1}, false, true},
        {{0, 0, 0}, {3.25, 0, 10}, true, true},
        {{0, 0, 0}, {3.3, 0, 10}, true, false},
        {{0, 0, 0}, {1, 0, 0}, false, false},
        {{0, 0, 0}, {0, 0, -1}, false, false},
    };
    // Dots out there lie under the black mask ring: ask the scene what is shown at the spot.
    auto shownAt = [&](QPointF at, QColor color) {
        for (QGraphicsItem* item : view->canvas()->items(at))
            if (auto* shape = dynamic_cast<QAbstractGraphicsShapeItem*>(item))
                if (shape->isVisible() && shape->brush().color() == color && shape->zValue() > 5)
                    return true;
        return false;
    };
    for (const auto& c : cases) {
        source->drill = Matrix44<double>(c.tip);
        source->implant = implantAt(tilted(c.axis, Vector3D()));
        view->refresh();
        const auto& v = view->drillValues();
        const QPointF position(cx - 4 + unit * v.positionY, cy - 4 + unit * v.positionX);
        const QPointF excursion(cx - 4 + unit * v.excursionY, cy - 4 + unit * v.excursionX);
        EXPECT_EQ(c.position, shownAt(position, Qt::blue)) << c.tip.x << " " << c.axis.x;
        EXPECT_EQ(c.excursion, shownAt(excursion, Qt::red)) << c.tip.x << " " << c.axis.x;
    }
}

TEST_F(TargetingViewTest, DepthCylinderTipDiscFollowsTheDepth)
{
    // At 800 x 600: frame (693, 12)-(784, 540), faces 92 / 2.571 high, Hc = 493, 37.9 px per mm.
    const struct
    {
        double depth;
        int y;
        QColor bar;
    } depths[] = {{0.0, 407, QColor(0, 200, 0)}, {5.0, 217, QColor(0, 200, 0)}, {-2.0, 482, Qt::green}};
    for (const auto& d : depths) {
        const TargetingView::CylinderGeometry g(800, 600, d.depth, true);
        EXPECT_NEAR(d.y, g.gap.bottom(), 1) << d.depth;
        source->depth = d.depth;
        const QImage image = refreshed();
        save(image, QString("targeting-depth-%1").arg(d.depth));
        // The tip disc is blue left and right of its centre, away from the crosses.
        EXPECT_TRUE(near(image.pixelColor(g.gap.left() + 6, d.y), Qt::blue)) << d.depth;
        EXPECT_TRUE(near(image.pixelColor(g.gap.right() - 6, d.y), Qt::blue)) << d.depth;
        if (d.depth != 0.0) { // the bar between the depth-0 line and the tip
            EXPECT_TRUE(near(image.pixelColor(g.gap.left() + 4, (d.y + g.upper.bottom()) / 2), d.bar, 10)) << d.depth;
        }
    }
    // Just outside the scale the moving items go.
    source->depth = 9.51;
    const QImage image = refreshed();
    EXPECT_FALSE(near(image.pixelColor(697, TargetingView::CylinderGeometry(800, 600, 9.51, true).gap.bottom()), Qt::blue));
}

TEST_F(TargetingViewTest, ExtremeSizesAndNullSourceDrawNothingOutOfPlace)
{
    for (const QSize size : {QSize(1000, 20), QSize(20, 1000), QSize(0, 0), QSize(1, 1)}) {
        view->resize(size);
        source->depth = 2.0;
        view->refresh();
        const TargetingView::CylinderGeometry g(size.width(), size.height(), 2.0, true);
        EXPECT_GE(g.height, 0);
        if (!size.isEmpty()) {
            EXPECT_EQ(size, grab(*view).size());
        }
    }
    QWidget other;
    other.resize(400, 300);
    TargetingView empty(nullptr, &other);
    empty.resize(400, 300);
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    empty.refresh();
    const QImage image = grab(empty);
    save(image, "targeting-null-source");
    EXPECT_TRUE(near(image.pixelColor(int(0.055 * 400), 150), Qt::red)) << "tool lamp";
    EXPECT_TRUE(near(image.pixelColor(int(0.558 * 400) + 4, int(0.517 * 300) + 4), Qt::white)) << "no dots, white centre";
    TargetingView orphan(nullptr, nullptr); // no parent: its own size
    orphan.refresh();
}
