// Samples, trackers and workspaces: Qt's quaternions as the oracle of the rotation formulas,
// analytic boxes as the oracle of the position quality.
#include "navigation/FlashPoint.h"
#include "navigation/MicronTrackerCamera.h"
#include "navigation/NavigationCamera.h"
#include "navigation/Tracker.h"
#include "navigation/TrackerData.h"
#include "navigation/Velor.h"
#include "navigation/Workspace.h"

#include <QMatrix3x3>
#include <QQuaternion>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

using Vexa::Matrix44;
using Vexa::TrackerData;
using Vexa::Vector3D;

TEST(TrackerData, RotationFormulasAgreeWithQQuaternion)
{
    std::mt19937 random(11);
    std::normal_distribution<double> n;
    for (int i = 0; i < 10000; ++i) {
        QQuaternion q(n(random), n(random), n(random), n(random));
        q.normalize();
        const QMatrix3x3 r = q.toRotationMatrix();
        Vexa::Rotation9 e;
        for (int c = 0; c < 3; ++c)
            for (int row = 0; row < 3; ++row)
                e[3 * c + row] = r(row, c);
        const auto ours = Vexa::quaternionFromRotation(e);
        const double sign = ours[0] * q.scalar() + ours[1] * q.x() + ours[2] * q.y() + ours[3] * q.z() < 0 ? -1 : 1;
        const double expected[4] = {q.scalar(), q.x(), q.y(), q.z()};
        for (int k = 0; k < 4; ++k)
            ASSERT_NEAR(expected[k], sign * ours[k], 1e-5) << "rotation " << i;
        const auto back = Vexa::rotationFromQuaternion({q.scalar(), q.x(), q.y(), q.z()});
        for (int k = 0; k < 9; ++k)
            ASSERT_NEAR(e[k], back[k], 1e-5) << "rotation " << i;
        // Through a sample and its Euler-angle detour: the same rotation.
        Matrix44<double> m;
        for (int k = 0; k < 9; ++k)
            m[(k / 3) * 4 + k % 3] = e[k];
        m.setTranslation(Vector3D(i, -i, 0.5 * i));
        const Matrix44<double> t = TrackerData(m, 0.0, true).getTransform();
        ASSERT_TRUE(Vexa::isEqual(m, t, 1e-5)) << "rotation " << i;
    }
    // Half a turn about x takes the x branch.
    const auto x = Vexa::quaternionFromRotation({1, 0, 0, 0, -1, 0, 0, 0, -1});
    EXPECT_EQ((Vexa::Quaternion{0, 1, 0, 0}), x);
}

// A pitch of +-90 degrees, or within 1e-6 rad of it, with random roll and yaw: the Euler-angle
// detour keeps the whole rotation (the quaternion's own rotation is the oracle). The elements
// e0..e8 are the columns of the quaternion's matrix, so the tracker's yaw-pitch-roll is the
// quaternion product about x, then y, then z.
TEST(TrackerData, TheTransformKeepsTheRotationAtAPitchOfNinetyDegrees)
{
    auto product = [](const Vexa::Quaternion& p, const Vexa::Quaternion& q) {
        return Vexa::Quaternion{p[0] * q[0] - p[1] * q[1] - p[2] * q[2] - p[3] * q[3],
                                p[0] * q[1] + p[1] * q[0] + p[2] * q[3] - p[3] * q[2],
                                p[0] * q[2] - p[1] * q[3] + p[2] * q[0] + p[3] * q[1],
                                p[0] * q[3] + p[1] * q[2] - p[2] * q[1] + p[3] * q[0]};
    };
    auto about = [](int axis, double angle) {
        Vexa::Quaternion q{std::cos(angle / 2), 0, 0, 0};
        q[1 + axis] = std::sin(angle / 2);
        return q;
    };
    std::mt19937 random(17);
    std::uniform_real_distribution<double> turn(-M_PI, M_PI), off(-1e-6, 1e-6);
    for (int i = 0; i < 20000; ++i) {
        const double pitch = (i % 2 ? -M_PI_2 : M_PI_2) + (i % 4 < 2 ? 0.0 : off(random));
        const auto q = product(product(about(0, turn(random)), about(1, pitch)), about(2, turn(random)));
        TrackerData sample;
        sample.setRotation(q);
        sample.setTranslation(Vector3D(1, 2, 3));
        sample.setVisible(true);
        const Matrix44<double> t = sample.getTransform();
        const auto e = Vexa::rotationFromQuaternion(q);
        ASSERT_NEAR(std::sin(std::abs(pitch)), std::abs(e[6]), 1e-12);
        for (int k = 0; k < 9; ++k)
            ASSERT_NEAR(e[k], t[(k / 3) * 4 + k % 3], 1e-9) << "rotation " << i << ", pitch off 90 degrees by "
                                                            << std::abs(std::abs(pitch) - M_PI_2) << " rad";
        ASSERT_LT((t.getTranslation() - Vector3D(1, 2, 3)).length(), 1e-12);
    }
}

TEST(TrackerData, EqualityVisibilityAndCopies)
{
    const Matrix44<double> pose(Vector3D(10, 20, 30));
    TrackerData a(pose, 0.2, true);
    TrackerData b(Matrix44<double>(Vector3D(10.0009, 20, 30)), 0.2, true);
    EXPECT_TRUE(a == b);
    b.setRotation({1.001, 0, 0, 0});
    EXPECT_FALSE(a == b);
    TrackerData hidden(pose, 0.2, false);
    EXPECT_FALSE(hidden == hidden);
    EXPECT_FALSE(TrackerData().isVisible());
    // A pose a device cannot have is invisible, and never NaN.
    for (const Vexa::Quaternion& q : {Vexa::Quaternion{0, 0, 0, 0}, Vexa::Quaternion{NAN, 0, 0, 1},
                                      Vexa::Quaternion{INFINITY, 0, 0, 1}}) {
        TrackerData bad(pose, 0.0, true);
        bad.setRotation(q);
        EXPECT_FALSE(bad.isVisible());
        EXPECT_TRUE(std::isfinite(bad.getTransform()[0]));
    }
    // Off unit length by more than 1e-3: no rotation, so no pose; closer, a visible sample.
    for (const auto& [w, visible] : {std::pair{1.0011, false}, std::pair{0.9989, false}, std::pair{1.0009, true}}) {
        TrackerData scaled(pose, 0.0, true);
        scaled.setRotation({w, 0, 0, 0});
        EXPECT_EQ(visible, scaled.isVisible()) << w;
    }
    TrackerData copy = a;
    copy.setTranslation(Vector3D(1, 1, 1));
    copy = copy;
    EXPECT_TRUE(Vexa::isEqual(pose, a.getTransform(), 1e-12));
    EXPECT_NEAR(1.0, copy.getTransform()[12], 1e-12);
}

TEST(Tracker, BuiltinTypes)
{
    for (int type : {-1, 0, 1, 13})
        EXPECT_FALSE(Vexa::Tracker::create(type)) << type;
    for (int type = 2; type <= 12; ++type) {
        auto tracker = Vexa::Tracker::create(type);
        ASSERT_TRUE(tracker);
        EXPECT_EQ(3u, tracker->getNumberOfPoints());
        EXPECT_EQ(type == 2 || type == 9, tracker->getFlag());
        EXPECT_FALSE(tracker->getTrackerData().isVisible());
    }
    const auto handpiece = Vexa::Tracker::create(3);
    EXPECT_EQ((std::vector<int>{5, 21, 37}), std::vector<int>(handpiece->getIds().first, handpiece->getIds().second));
}

TEST(Workspace, QualityAgainstAnalyticBoxes)
{
    const auto workspace = Vexa::getDefaultWorkspace();
    // Workspace (y, x, -z) of a camera point; inner box [-100,100]^2 x [800,2000], outer
    // [-200,200]^2 x [700,2100].
    auto expected = [](const Vector3D& camera) {
        const Vector3D p(camera.y, camera.x, -camera.z);
        auto inside = [&](double half, double low, double high) {
            return std::abs(p.x) < half && std::abs(p.y) < half && p.z > low && p.z < high;
        };
        return inside(100, 800, 2000) ? 2 : inside(200, 700, 2100) ? 1 : 0;
    };
    EXPECT_EQ(2, workspace->getPositionQuality(Vector3D(0, 0, -1400)));
    EXPECT_EQ(1, workspace->getPositionQuality(Vector3D(0, 0, -750)));
    EXPECT_EQ(0, workspace->getPositionQuality(Vector3D(0, 0, -500)));
    std::mt19937 random(5);
    std::uniform_real_distribution<double> xy(-260, 260), z(-2200, -600);
    for (int i = 0; i < 3000; ++i) {
        const Vector3D p(xy(random), xy(random), z(random));
        ASSERT_EQ(expected(p), workspace->getPositionQuality(p)) << p.x << " " << p.y << " " << p.z;
    }
    // Excursion about the camera's x axis: below 30 degrees good, below 36 fair.
    const std::pair<double, int> bands[] = {{0.0, 2}, {29.9, 2}, {30.1, 1}, {35.9, 1}, {36.1, 0}, {80.0, 0}};
    for (const auto& [degrees, quality] : bands) {
        const double a = degrees * M_PI / 180.0;
        EXPECT_EQ(quality, workspace->getExcursionQuality(Vector3D(0, -std::sin(a), std::cos(a)))) << degrees;
    }
    EXPECT_EQ(0, workspace->getExcursionQuality(Vector3D(0, 5, 0))); // not a unit vector: clamped, no NaN
}

// The Velor, FlashPoint and MicronTracker workspaces as their device descriptions give them:
// half a millimetre inside and outside every corner of the inner and the outer box (in camera
// coordinates, through the camera-to-workspace shift), and the excursion bands.
TEST(Workspace, SerialAndServerCamerasAtTheirCorners)
{
    struct Box
    {
        Vector3D corner, size;
        bool inside(const Vector3D& p) const
        {
            return p.x > corner.x && p.x < corner.x + size.x && p.y > corner.y && p.y < corner.y + size.y
                   && p.z > corner.z && p.z < corner.z + size.z;
        }
    };
    struct Camera
    {
        const char* name;
        std::shared_ptr<Vexa::Workspace> workspace;
        Box inner, outer;
        Vector3D cameraToWorkspace;
        double good, fair;
    };
    const Camera cameras[] = {
        {"Velor", Vexa::Velor::getDefaultWorkspace(), {{-100, -100, 1000}, {200, 200, 600}},
         {{-200, -200, 850}, {400, 400, 900}}, {-400, -400, 1100}, 20, 50},
        {"FlashPoint", Vexa::FlashPoint::getDefaultWorkspace(), {{-100, -100, 1100}, {200, 200, 400}},
         {{-200, -200, 1100}, {400, 400, 550}}, {-400, -400, 1100}, 20, 40},
        {"MicronTracker", Vexa::MicronTrackerCamera::getDefaultWorkspace(), {{-175, -175, 475}, {350, 350, 350}},
         {{-300, -300, 400}, {600, 600, 500}}, {0, 0, 0}, 20, 40},
    };
    for (const Camera& c : cameras) {
        int checked = 0;
        for (const Box& box : {c.inner, c.outer})
            for (int corner = 0; corner < 8; ++corner)
                for (const double step : {0.5, -0.5}) {
                    // A corner, moved diagonally into (step > 0) or out of the box.
                    Vector3D p = box.corner;
                    Vector3D d(step, step, step);
                    if (corner & 1)
                        p.x += box.size.x, d.x = -d.x;
                    if (corner & 2)
                        p.y += box.size.y, d.y = -d.y;
                    if (corner & 4)
                        p.z += box.size.z, d.z = -d.z;
                    const Vector3D inWorkspace = p + d;
                    const int expected = c.inner.inside(inWorkspace) ? 2 : c.outer.inside(inWorkspace) ? 1 : 0;
                    const Vector3D camera = inWorkspace - c.cameraToWorkspace;
                    ASSERT_EQ(expected, c.workspace->getPositionQuality(camera))
                        << c.name << " at camera " << camera.x << " " << camera.y << " " << camera.z;
                    ++checked;
                }
        EXPECT_EQ(32, checked);
        const std::pair<double, int> bands[] = {{c.good - 0.1, 2}, {c.good + 0.1, 1}, {c.fair - 0.1, 1}, {c.fair + 0.1, 0}};
        for (const auto& [degrees, quality] : bands) {
            const double a = degrees * M_PI / 180.0;
            EXPECT_EQ(quality, c.workspace->getExcursionQuality(Vector3D(0, -std::sin(a), std::cos(a))))
                << c.name << " " << degrees;
        }
    }
}
