#include "AlgorithmTestSupport.h"

#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/algorithm/PointMatching.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/ProcessorAffinity.h"

#include "common/RefusedThreadStarts.h"

#include <gtest/gtest.h>

#include <numbers>
#include <random>

using namespace AlgorithmTestSupport;
using Vexa::Matrix44;
using Vexa::MarkerDetection;
using Vexa::PointMatching;

namespace {

Matrix44<double> randomRigid(std::mt19937& random, const Vector3D& translation)
{
    std::normal_distribution<double> n(0.0, 1.0);
    const Vector3D axis(n(random), n(random), n(random));
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    Matrix44<double> m;
    m.setRotation(axis, angle(random));
    m.setTranslation(translation);
    return m;
}

double determinant(const Matrix44<double>& m)
{
    return m.getColumn(0).dot(m.getColumn(1).cross(m.getColumn(2)));
}

// A jaw-like volume: soft tissue, a U-shaped bone arch with a brighter rim, noise, and
// 3 mm balls (partial volume sampled 4x4x4 per voxel) at the given centres.
std::shared_ptr<Volume> makeJaw(const std::vector<Vector3D>& balls, unsigned seed)
{
    const unsigned n[3] = {180, 160, 140};
    const double s = 0.5;
    auto volume = std::make_shared<Volume>(n[0], n[1], n[2], s, s, s);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, 60.0);
    const Vector3D archCentre(45.0, 30.0, 35.0);
    for (unsigned z = 0; z < n[2]; ++z)
        for (unsigned y = 0; y < n[1]; ++y)
            for (unsigned x = 0; x < n[0]; ++x)
            {
                const Vector3D p((x + 0.5) * s, (y + 0.5) * s, (z + 0.5) * s);
                double v = 0.0;
                const Vector3D d = p - archCentre;
                if (std::abs(d.z) < 30.0 && std::hypot(d.x / 38.0, d.y / 50.0) < 1.0)
                    v = 1000.0; // soft tissue
                const double arch = std::abs(std::hypot(d.x / 30.0, std::max(0.0, d.y) / 40.0) - 1.0) * 30.0;
                if (arch < 6.0 && std::abs(d.z) < 12.0)
                    v = arch > 4.5 || std::abs(d.z) > 10.5 ? 2300.0 : 1700.0; // cortical rim, cancellous core
                volume->at(x, y, z) = static_cast<unsigned short>(std::clamp(std::lround(v + noise(random)), 0L, 4095L));
            }
    for (const Vector3D& c : balls)
    {
        for (int z = int((c.z - 2.5) / s); z <= int((c.z + 2.5) / s); ++z)
            for (int y = int((c.y - 2.5) / s); y <= int((c.y + 2.5) / s); ++y)
                for (int x = int((c.x - 2.5) / s); x <= int((c.x + 2.5) / s); ++x)
                {
                    if (x < 0 || y < 0 || z < 0 || x >= int(n[0]) || y >= int(n[1]) || z >= int(n[2]))
                        continue;
                    int inside = 0;
                    for (int k = 0; k < 64; ++k)
                    {
                        const Vector3D p((x + (k % 4 + 0.5) / 4) * s, (y + (k / 4 % 4 + 0.5) / 4) * s,
                                         (z + (k / 16 + 0.5) / 4) * s);
                        inside += (p - c).length() <= 1.5;
                    }
                    auto& voxel = volume->at(unsigned(x), unsigned(y), unsigned(z));
                    const double f = inside / 64.0;
                    voxel = static_cast<unsigned short>(std::clamp(std::lround(voxel * (1 - f) + 3800.0 * f), 0L, 4095L));
                }
    }
    return volume;
}

}

TEST(PointMatching, RigidFitIsProperAndRefusesDegenerateSets)
{
    std::mt19937 random(5);
    const std::vector<Vector3D> from = {Vector3D(0, 0, 0), Vector3D(10, 0, 1), Vector3D(0, 20, 2), Vector3D(3, 4, 15)};
    const Matrix44<double> truth = randomRigid(random, Vector3D(5, -7, 30));
    std::vector<Vector3D> to;
    for (const auto& p : from)
        to.push_back(truth * p);
    const auto fit = PointMatching::fitRigid(from, to);
    ASSERT_TRUE(fit.valid);
    EXPECT_TRUE(Vexa::isEqual(fit.transform, truth, 1e-9));
    EXPECT_LT(fit.rms, 1e-9);

    // A mirror image is never matched by a reflection: the fit stays a rotation and misses.
    std::vector<Vector3D> mirrored;
    for (const auto& p : to)
        mirrored.push_back(Vector3D(-p.x, p.y, p.z));
    const auto mirrorFit = PointMatching::fitRigid(from, mirrored);
    ASSERT_TRUE(mirrorFit.valid);
    EXPECT_NEAR(determinant(mirrorFit.transform), 1.0, 1e-9);
    EXPECT_GT(mirrorFit.maximumResidual, 2.0);
    EXPECT_FALSE(PointMatching::matchPoints(mirrored, from, 2.0, true).success);

    // Points on one line leave the turn about it open.
    const std::vector<Vector3D> line = {Vector3D(0, 0, 0), Vector3D(1, 1, 1), Vector3D(2, 2, 2), Vector3D(5, 5, 5)};
    EXPECT_FALSE(PointMatching::fitRigid(line, line).valid);
    EXPECT_FALSE(PointMatching::fitRigid({from[0], from[1]}, {to[0], to[1]}).valid);
    EXPECT_FALSE(PointMatching::fitRigid(from, {to[0], to[1], to[2]}).valid);

    // Among other candidates the automatic search finds a solid geometry, but never its
    // mirror image.
    const std::vector<Vector3D> geometry = {Vector3D(0, 0, 0), Vector3D(30, 0, 0), Vector3D(0, 25, 0),
                                            Vector3D(20, 20, 12), Vector3D(8, 30, -10), Vector3D(35, 15, 6)};
    std::vector<Vector3D> proper = {Vector3D(3, 70, 9), Vector3D(55, 2, 40)}, mirror = proper;
    for (const auto& g : geometry)
    {
        proper.push_back(truth * g);
        mirror.push_back(truth * Vector3D(-g.x, g.y, g.z));
    }
    const auto found = PointMatching::findGeometry(proper, geometry, 2.0);
    ASSERT_TRUE(found.success);
    EXPECT_TRUE(Vexa::isEqual(found.transform, truth, 1e-6));
    EXPECT_FALSE(PointMatching::findGeometry(mirror, geometry, 2.0).success);
}

TEST(MarkerDetection, CheckManualMarkers)
{
    const auto& geometry = Vexa::getReferenceMarkerGeometry();
    ASSERT_EQ(geometry.size(), 6u);
    EXPECT_EQ(geometry[0], Vector3D(36.0, 26.7, 0.0));
    EXPECT_EQ(geometry[5], Vector3D(0.0, 11.7, 0.0));

    std::mt19937 random(11);
    for (int trial = 0; trial < 3; ++trial)
    {
        const Matrix44<double> truth = randomRigid(random, Vector3D(40, 60, 25));
        std::vector<Vector3D> placed;
        for (const auto& g : geometry)
            placed.push_back(truth * g);

        // Shuffled exact points: success, in geometry order, with the transform.
        std::vector<Vector3D> points = placed;
        std::shuffle(points.begin(), points.end(), random);
        const auto [ok, transform] = MarkerDetection::checkManualMarkers(points, geometry, true, 2.0);
        ASSERT_TRUE(ok);
        EXPECT_TRUE(Vexa::isEqual(transform, truth, 1e-6));
        EXPECT_NEAR(determinant(transform), 1.0, 1e-9);
        ASSERT_EQ(points.size(), 6u);
        for (std::size_t i = 0; i < 6; ++i)
            EXPECT_LT((points[i] - placed[i]).length(), 1e-6);

        // Given order only: the shuffled points fail, the ordered ones pass.
        std::vector<Vector3D> swapped = placed, ordered = placed;
        std::swap(swapped[0], swapped[3]);
        EXPECT_FALSE(MarkerDetection::checkManualMarkers(swapped, geometry, false, 2.0).first);
        EXPECT_TRUE(MarkerDetection::checkManualMarkers(ordered, geometry, false, 2.0).first);

        // One point 3 mm off, in any direction: failure, identity, points untouched.
        for (std::size_t moved = 0; moved < 6; ++moved)
        {
            std::normal_distribution<double> n(0.0, 1.0);
            std::vector<Vector3D> off = placed;
            off[moved] += Vector3D(n(random), n(random), n(random)).getNormalized() * 3.0;
            std::shuffle(off.begin(), off.end(), random);
            const std::vector<Vector3D> before = off;
            const auto result = MarkerDetection::checkManualMarkers(off, geometry, true, 2.0);
            EXPECT_FALSE(result.first) << "trial " << trial << " marker " << moved;
            EXPECT_TRUE(Vexa::isEqual(result.second, Matrix44<double>(), 1e-12));
            EXPECT_EQ(off, before);
        }

        // Four picked markers are enough; all six come back.
        std::vector<Vector3D> four = {placed[4], placed[1], placed[5], placed[2]};
        ASSERT_TRUE(MarkerDetection::checkManualMarkers(four, geometry, true, 2.0).first);
        ASSERT_EQ(four.size(), 6u);
        EXPECT_LT((four[0] - placed[0]).length(), 1e-6);
    }

    // Too few, too many or collinear points fail.
    std::vector<Vector3D> two = {geometry[0], geometry[1]};
    EXPECT_FALSE(MarkerDetection::checkManualMarkers(two, geometry, true, 2.0).first);
    std::vector<Vector3D> seven(geometry.begin(), geometry.end());
    seven.push_back(Vector3D(1, 2, 3));
    EXPECT_FALSE(MarkerDetection::checkManualMarkers(seven, geometry, true, 2.0).first);
    EXPECT_EQ(seven.size(), 7u);
}

TEST(MarkerDetection, FindsTheBallsInANoisyJaw)
{
    const auto& geometry = Vexa::getReferenceMarkerGeometry();
    std::mt19937 random(2024);
    double worst = 0.0;
    for (int trial = 0; trial < 2; ++trial)
    {
        const Matrix44<double> truth = randomRigid(random, Vector3D(0, 0, 0));
        // Centre the placed geometry in the volume near the arch.
        Vector3D mean;
        for (const auto& g : geometry)
            mean += truth * g;
        mean = mean / 6.0;
        Matrix44<double> placedTransform = truth;
        placedTransform.setTranslation(truth.getTranslation() + Vector3D(45.0, 40.0, 35.0) - mean);
        std::vector<Vector3D> balls;
        for (const auto& g : geometry)
            balls.push_back(placedTransform * g);

        MarkerDetection job(makeJaw(balls, 100 + trial));
        ASSERT_TRUE(job.start()) << job.getErrorMessage();
        EXPECT_EQ(job.getErrorMessage(), "");
        ASSERT_EQ(job.getMarkers().size(), 6u);
        EXPECT_NEAR(determinant(job.getTransform()), 1.0, 1e-9);
        for (std::size_t i = 0; i < 6; ++i)
        {
            worst = std::max(worst, (job.getMarkers()[i] - balls[i]).length());
            EXPECT_LT((job.getMarkers()[i] - balls[i]).length(), 0.3) << "trial " << trial << " marker " << i;
        }

        // One ball missing: a clear failure and no markers.
        std::vector<Vector3D> five(balls.begin(), balls.end() - 1);
        MarkerDetection missing(makeJaw(five, 200 + trial));
        EXPECT_FALSE(missing.start());
        EXPECT_EQ(missing.getErrorMessage(), "Not all markers were found.");
        EXPECT_TRUE(missing.getMarkers().empty());
        EXPECT_TRUE(Vexa::isEqual(missing.getTransform(), Matrix44<double>(), 1e-12));
    }
    std::cout << "largest marker error " << worst << " mm\n";
}

TEST(MarkerDetection, ThreadsTheSystemRefusesGiveTheSameMarkers)
{
    const auto& geometry = Vexa::getReferenceMarkerGeometry();
    Vector3D mean;
    for (const auto& g : geometry)
        mean += g / 6.0;
    std::vector<Vector3D> balls;
    for (const auto& g : geometry)
        balls.push_back(g - mean + Vector3D(45.0, 40.0, 35.0));
    const auto volume = makeJaw(balls, 300);
    MarkerDetection reference(volume);
    ASSERT_TRUE(reference.start()) << reference.getErrorMessage();

    // The volume is scanned on one thread per core, the calling one among them.
    const int starts = int(Vexa::ProcessorAffinity::usableCores()) - 1;
    for (int allowed = 0; allowed <= starts + 1; ++allowed)
    {
        TestSupport::RefusedThreadStarts refusal(allowed);
        MarkerDetection job(volume);
        ASSERT_TRUE(job.start()) << allowed << " threads started: " << job.getErrorMessage();
        EXPECT_EQ(job.getMarkers(), reference.getMarkers()) << allowed << " threads started";
        EXPECT_EQ(refusal.refused(), allowed < starts ? 1 : 0);
    }
}
