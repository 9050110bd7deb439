#include "PlanningTestSupport.h"
#include "common/TestSupport.h"

#include "vexa/math/Plane.h"
#include "vexa/slice/Slice.h"

#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

using namespace PlanningTest;

namespace {

void expectNear(const Vector3D& expected, const Vector3D& actual, double tolerance = 1e-9)
{
    EXPECT_LT((expected - actual).length(), tolerance)
        << actual.x << " " << actual.y << " " << actual.z << " for " << expected.x << " " << expected.y << " " << expected.z;
}

}

TEST(PanoramicLine, AddPointPlacesCornersAndKeepsOneSlicePerSegment)
{
    auto line = makeLine();
    EXPECT_FALSE(line->hasChanged());
    EXPECT_TRUE(line->addPoint(Vector3D(0, 0, 0)));
    EXPECT_EQ(1u, line->numberOfCorners());
    EXPECT_TRUE(line->getSlices().empty());
    EXPECT_TRUE(line->hasChanged());

    EXPECT_TRUE(line->addPoint(Vector3D(20, 0, 0)));
    ASSERT_EQ(1u, line->getSlices().size());
    EXPECT_DOUBLE_EQ(20.0, line->getSlices()[0]->getWidth());
    EXPECT_DOUBLE_EQ(40.0, line->getSlices()[0]->getHeight());

    // Within the merge distance of a corner: nothing.
    EXPECT_FALSE(line->addPoint(Vector3D(21, 1, 0)));
    EXPECT_EQ(2u, line->numberOfCorners());

    // Near a segment: between its corners, even though it is nearer to an end than 4 mm + ...
    EXPECT_TRUE(line->addPoint(Vector3D(15, 3, 0)));
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {15, 3, 0}, {20, 0, 0}}), worldCorners(*line));
    EXPECT_EQ(2u, line->getSlices().size());

    // Out of reach of every segment: to the nearer end; the last end only when strictly nearer.
    EXPECT_TRUE(line->addPoint(Vector3D(40, 5, 0)));
    EXPECT_EQ(Vector3D(40, 5, 0), worldCorners(*line).back());
    EXPECT_TRUE(line->addPoint(Vector3D(-15, 10, 0)));
    EXPECT_EQ(Vector3D(-15, 10, 0), worldCorners(*line).front());

    auto tie = makeLine();
    tie->setPoints({{0, 0, 0}, {20, 0, 0}});
    tie->addPoint(Vector3D(10, 30, 0));
    EXPECT_EQ(Vector3D(10, 30, 0), worldCorners(*tie).front());
    EXPECT_EQ(2u, tie->getSlices().size());

    EXPECT_THROW(line->addPoint(Vector3D(std::numeric_limits<double>::quiet_NaN(), 0, 0)), std::runtime_error);
}

TEST(PanoramicLine, ConsolidationMergesDroppedCornersOnly)
{
    // Dropped within 4 mm of a neighbour: the dragged corner goes at the consolidation.
    auto line = makeLine();
    line->setPoints({{0, 0, 0}, {20, 0, 0}, {40, 0, 0}});
    auto middle = line->getCornerPoints()[1];
    line->movePoint(middle, Vector3D(30, 0, 0));
    line->movePoint(middle, Vector3D(37, 0, 0));
    EXPECT_EQ(3u, line->numberOfCorners());
    line->consolidateLine();
    EXPECT_EQ((std::vector<Vector3D>{{0, 0, 0}, {40, 0, 0}}), worldCorners(*line));

    // Dropped onto the neighbour: the neighbour is out during the drag and comes back as the
    // same object at its own position.
    line->setPoints({{0, 0, 0}, {20, 0, 0}, {40, 0, 0}});
    middle = line->getCornerPoints()[1];
    const auto neighbour = line->getCornerPoints()[2];
    line->movePoint(middle, Vector3D(40.0004, 0, 0));
    EXPECT_EQ(2u, line->numberOfCorners());
    EXPECT_EQ(line->cornersEnd(), line->getIterator(neighbour));
    line->consolidateLine();
    ASSERT_EQ(2u, line->numberOfCorners());
    EXPECT_EQ(neighbour, line->getCornerPoints()[1]);
    EXPECT_EQ(Vector3D(40, 0, 0), worldCorners(*line)[1]);
    EXPECT_EQ(1u, line->getSlices().size());

    // An earlier corner that is not adjacent blocks the merge, even with a neighbour as near.
    line->setPoints({{0, 0, 0}, {30, 0, 0}, {30, 30, 0}, {0, 30, 0}, {4, -3, 0}});
    const auto fourth = line->getCornerPoints()[3];
    line->movePoint(fourth, Vector3D(2, -1, 0));
    line->consolidateLine();
    EXPECT_EQ(5u, line->numberOfCorners());

    // Both neighbours covered at once: both come back, in order.
    line->setPoints({{0, 0, 0}, {20, 0, 0}, {0, 0.0005, 0}, {0, 30, 0}});
    const auto corners = line->getCornerPoints();
    line->movePoint(corners[1], Vector3D(0, 0.0002, 0));
    EXPECT_EQ(2u, line->numberOfCorners());
    line->consolidateLine();
    EXPECT_EQ((PanoramicLine::CornerVector{corners[0], corners[2], corners[3]}), line->getCornerPoints());
    EXPECT_EQ(2u, line->getSlices().size());
}

TEST(PanoramicLine, BorderPointsAreMitredAtTheHalfWidth)
{
    // Mitre positions and sides are compared with shapely (PanoramicLineOracleTest); here
    // coincident stored corners, which take the direction of the next distinct neighbour.
    auto line = makeLine();
    line->setPoints({{0, 0, 0}, {20, 0, 0}, {20, 0, 0}, {20, 0, 0}, {40, 20, 0}});
    for (auto it = line->cornersBegin(); it != line->cornersEnd(); ++it)
    {
        EXPECT_TRUE(isFinite((*it)->getUpperPoint()));
        EXPECT_TRUE(isFinite((*it)->getLowerPoint()));
        EXPECT_NEAR(12.0, ((*it)->getUpperPoint() - (*it)->getPosition()).length(), 12.0 * (std::sqrt(2.0) - 1) + 1e-9);
    }
    ASSERT_EQ(4u, line->getSlices().size());
    for (const auto& slice : line->getSlices())
        for (int i = 0; i < 16; ++i)
            EXPECT_TRUE(std::isfinite(slice->getTransform()[i]));
    EXPECT_TRUE(isFinite(line->getWorldPos(20.0)));
    EXPECT_TRUE(isFinite(line->getWorldPos(-3.0)));
}

TEST(PanoramicLine, OffsetsWorldPositionsAndPlaneCrossings)
{
    auto line = makeLine();
    EXPECT_THROW(line->getWorldPos(0.0), std::runtime_error);
    EXPECT_EQ(std::numeric_limits<double>::max(), line->getOrthogonalDistance(Vector3D(1, 1, 0)));
    EXPECT_EQ(line->cornersEnd(), line->intersects(Vexa::Plane<double>(Vector3D(), Vector3D(1, 0, 0))).first);

    // Inside the curve positions are compared with shapely; here the ends and beyond.
    line->setPoints({{0, 0, 0}, {30, 0, 0}, {30, 40, 0}});
    expectNear(Vector3D(30, 40, 0), line->getWorldPos(line->getLength() * (1 + 1e-9)), 1e-12);
    expectNear(Vector3D(-5, 0, 0), line->getWorldPos(-5.0));
    EXPECT_EQ("PanoramicLine::getWorldPos(): point should never been reached, check pre condintions.",
              TestSupport::errorText([&] { line->getWorldPos(71.0); }));

    // Beside the second segment: that segment's start corner; the height does not count.
    EXPECT_EQ(std::next(line->cornersBegin()), line->getOffset(Vector3D(31, 20, 7)).first);
    EXPECT_NEAR(1.0, line->getOrthogonalDistance(Vector3D(31, 20, 7)), 1e-12);
    // Outside the reach of every segment's foot.
    EXPECT_EQ(line->cornersEnd(), line->getOffset(Vector3D(-3, -3, 0)).first);

    // A plane through a corner: a signed distance of 0 counts as the non-negative side.
    line->setPoints({{0, 0, 0}, {10, 0, 0}, {20, 0, 0}});
    const auto down = line->intersects(Vexa::Plane<double>(Vector3D(10, 0, 0), Vector3D(-1, 0, 0)));
    EXPECT_EQ(std::next(line->cornersBegin()), down.first);
    expectNear(Vector3D(10, 0, 0), down.second);
    const auto up = line->intersects(Vexa::Plane<double>(Vector3D(10, 0, 0), Vector3D(1, 0, 0)));
    EXPECT_EQ(line->cornersBegin(), up.first);
    expectNear(Vector3D(10, 0, 0), up.second);
}

TEST(PanoramicLine, BorderCrossingPointsFollowTheCorners)
{
    auto line = makeLine();
    line->setPoints({{0, 0, 0}, {30, 0, 0}, {30, 30, 0}, {60, 30, 0}});
    // Heights interpolate by offset: a at offset 10 (height -2), b at offset 50 (height -6).
    const std::vector<Vector3D> crossing = line->getBorderCrossingPoints(Vector3D(10, 1, -2), Vector3D(31, 20, -6));
    ASSERT_EQ(1u, crossing.size());
    expectNear(Vector3D(30, 0, -4), crossing[0]);
    // Either order of the arguments gives the corners in curve order.
    const auto backwards = line->getBorderCrossingPoints(Vector3D(50, 31, -8), Vector3D(10, 1, -2));
    ASSERT_EQ(2u, backwards.size());
    expectNear(Vector3D(30, 0, -2 - 6.0 * 20 / 70), backwards[0]);
    expectNear(Vector3D(30, 30, -2 - 6.0 * 50 / 70), backwards[1]);
    EXPECT_TRUE(line->getBorderCrossingPoints(Vector3D(5, 1, 0), Vector3D(25, 1, 0)).empty());

    // Equal offsets on the two sides of a corner: no span to interpolate over, no NaN.
    for (const auto& [a, b] : {std::pair{Vector3D(30, -1, -2), Vector3D(31, 0, -6)},
                               std::pair{Vector3D(31, 0, -6), Vector3D(30, -1, -2)}})
    {
        const auto points = line->getBorderCrossingPoints(a, b);
        ASSERT_EQ(1u, points.size());
        expectNear(Vector3D(30, 0, -2), points[0]);
    }
}

TEST(PanoramicLine, StoredCornersLoadVerbatim)
{
    auto line = makeLine();
    // Adjacent corners closer than the merge distance can be saved (an earlier corner blocked
    // the merge); loading must not drop them.
    const std::vector<Vector3D> stored{{0, 0, 0}, {30, 0, 0}, {32, 1, 0}, {60, 0, 0}};
    line->setPoints(stored);
    EXPECT_EQ(stored, worldCorners(*line));
    EXPECT_EQ(3u, line->getSlices().size());
    EXPECT_FALSE(line->getMovingCorner());
    line->setPoints(worldCorners(*line));
    EXPECT_EQ(stored, worldCorners(*line));

    line->clearChangedState();
    line->setPoints({});
    EXPECT_EQ(stored, worldCorners(*line));
    EXPECT_FALSE(line->hasChanged());
    EXPECT_THROW(line->setPoints({{0, 0, 0}, {std::numeric_limits<double>::infinity(), 0, 0}}), std::runtime_error);
    EXPECT_EQ(stored, worldCorners(*line));
}
