#include "PlanningTestSupport.h"

#include "planning/objects/Nerve.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"

#include <gtest/gtest.h>

using namespace PlanningTest;
using Element = Nerve::Element;
using Point = Element::Point;

namespace {

std::shared_ptr<PanoramicLine> straightLine()
{
    auto line = makeLine();
    line->setPoints({{0, 0, 0}, {100, 0, 0}});
    return line;
}

std::vector<double> offsetsOf(const Element& element)
{
    std::vector<double> result;
    for (const auto& point : element.getPointContainer())
        result.push_back(point->offset);
    return result;
}

double distanceToAxis(const Vector3D& v, const Vector3D& a, const Vector3D& b)
{
    const Vector3D u = (b - a) / (b - a).length();
    const Vector3D d = v - a;
    return (d - u * u.dot(d)).length();
}

std::size_t vertexCount(unsigned segments)
{
    return Vexa::createCylinderMesh(Vexa::Matrix44<double>(), 1.0, 1.0, 1.0, false, segments, 1)->getVertexCount();
}

std::size_t sphereVertexCount()
{
    return Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(), Vector3D(1, 1, 1), 10, 10)->getVertexCount();
}

}

TEST(NerveElement, PointsCloserThanTwoMillimetresAreOnePoint)
{
    auto element = Element::create(straightLine(), Element::UserDefined);
    EXPECT_TRUE(element->hasChanged());
    EXPECT_EQ(Vector3D(), element->getCenter());
    EXPECT_EQ(1u, element->addPoint(Point::create(Vector3D(10, 0, -3), 3.0), false).size());
    EXPECT_TRUE(element->addPoint(Point::create(Vector3D(11.5, 0, -3), 3.0), false).empty());
    EXPECT_EQ(1u, element->addPoint(Point::create(Vector3D(12, 0, -3), 3.0), false).size());
    // Off the line (no segment's foot), non-finite or without a proper diameter: refused.
    EXPECT_TRUE(element->addPoint(Point::create(Vector3D(-20, 0, 0), 3.0), false).empty());
    EXPECT_TRUE(element->addPoint(Point::create(Vector3D(50, 0, 0), 0.0), false).empty());
    EXPECT_TRUE(element->addPoint(Point::create(Vector3D(50, 0, std::nan("")), 3.0), false).empty());
    EXPECT_EQ((std::vector<double>{10.0, 12.0}), offsetsOf(*element));
    EXPECT_EQ(Vector3D(11, 0, -3), element->getCenter());

    // Validating with a point 1 mm from two others removes only the first in chain order.
    auto q = Point::create(Vector3D(40, 0, 0), 3.0);
    element->addPoint(q, false);
    element->movePoint(q, Vector3D(11, 0, -3));
    element->validate(q, false);
    ASSERT_EQ(2u, element->getPointContainer().size());
    EXPECT_EQ(12.0, element->getPointContainer().front()->position.x);
    EXPECT_EQ(q, element->getPointContainer().back());
}

TEST(NerveElement, TubeVerticesLieAtHalfTheDiameterFromTheirSegment)
{
    for (const Element::Type type : {Element::OldFormat, Element::UserDefined})
    {
        auto element = Element::create(straightLine(), type);
        element->addPoint(Point::create(Vector3D(10, 0, 0), 2.0), false);
        EXPECT_FALSE(element->getMesh());
        // A skew segment, then one whose direction (a, -a, 0) swaps into its own opposite.
        element->addPoint(Point::create(Vector3D(18, 4, 5), 3.0), false);
        element->addPoint(Point::create(Vector3D(26, -4, 5), 4.0), false);
        const auto& points = element->getPointContainer();
        ASSERT_EQ(3u, points.size());
        const Vector3D p0 = points.front()->position, p1 = (*std::next(points.begin()))->position,
                       p2 = points.back()->position;

        const auto mesh = element->getMesh();
        ASSERT_TRUE(mesh);
        EXPECT_TRUE(element->isValid());
        const std::size_t first = vertexCount(15), second = vertexCount(10);
        const std::size_t spheres = type == Element::UserDefined ? 3 : 0;
        ASSERT_EQ(first + second + spheres * sphereVertexCount(), mesh->getVertexCount());
        // Vertices in order: first cylinder, (sphere), second cylinder, ...
        const std::size_t secondStart = first + (type == Element::UserDefined ? sphereVertexCount() : 0);
        for (std::size_t i = 0; i < first; ++i)
            EXPECT_NEAR(1.25, distanceToAxis(mesh->getVertex(static_cast<unsigned>(i)), p0, p1), 1e-9);
        for (std::size_t i = secondStart; i < secondStart + second; ++i)
            EXPECT_NEAR(1.75, distanceToAxis(mesh->getVertex(static_cast<unsigned>(i)), p1, p2), 1e-9);
        for (std::size_t i = 0; i < mesh->getVertexCount(); ++i)
            ASSERT_TRUE(isFinite(mesh->getVertex(static_cast<unsigned>(i))));

        // The same mesh until something changes.
        EXPECT_EQ(mesh, element->getMesh());
        element->movePoint(points.back(), Vector3D(30, -4, 5));
        EXPECT_NE(mesh, element->getMesh());
    }

    // Coincident stored points give no segment and no NaN.
    auto element = Element::create(straightLine(), Element::OldFormat);
    auto a = Point::create(Vector3D(10, 0, 0), 2.0);
    auto b = Point::create(Vector3D(10, 0, 0), 2.0);
    a->offset = 10;
    b->offset = 10.5;
    EXPECT_TRUE(element->simpleAddPoint(a));
    EXPECT_TRUE(element->simpleAddPoint(b));
    EXPECT_FALSE(element->getMesh());
}

TEST(NerveElement, OffsetsRefreshInPlaceAndOrderStaysSound)
{
    auto line = straightLine();
    auto element = Element::create(line, Element::UserDefined);
    double stored = 1.0;
    for (double x : {-50.0, -40.0, 10.0, 150.0, 160.0})
    {
        auto point = Point::create(Vector3D(x, 0, 0), 2.0);
        point->offset = stored++;
        EXPECT_TRUE(element->simpleAddPoint(point));
    }
    auto duplicate = Point::create(Vector3D(70, 0, 0), 2.0);
    duplicate->offset = 3.0;
    EXPECT_FALSE(element->simpleAddPoint(duplicate));

    element->validate(Element::PointPtr(), true);
    EXPECT_EQ((std::vector<double>{-999999.0, -999998.0, 10.0, 100.0, 101.0}), offsetsOf(*element));
    // The refreshed offsets are not sorted along the chain's tail; inserting still works.
    EXPECT_EQ(1u, element->addPoint(Point::create(Vector3D(50, 0, 0), 2.0), false).size());
    EXPECT_EQ((std::vector<double>{-999999.0, -999998.0, 10.0, 50.0, 100.0, 101.0}), offsetsOf(*element));
}

TEST(NerveElement, FillMoveAndSegmentSearch)
{
    auto line = makeLine();
    line->setPoints({{0, 0, 0}, {30, 0, 0}, {30, 30, 0}, {60, 30, 0}});
    auto element = Element::create(line, Element::UserDefined);
    element->addPoint(Point::create(Vector3D(10, 1, -2), 3.0), true);
    const auto added = element->addPoint(Point::create(Vector3D(50, 31, -8), 3.0), true);
    // The new point, then the corners between, at heights interpolated by offset.
    ASSERT_EQ(3u, added.size());
    EXPECT_EQ(Vector3D(50, 31, -8), (*added[0])->position);
    EXPECT_NEAR(-2 - 6.0 * 20 / 70, (*added[1])->position.z, 1e-9);
    EXPECT_EQ(4u, element->getPointContainer().size());
    EXPECT_TRUE(element->getPointOfSegmentNear(Vector3D(30, 15, -5)));
    EXPECT_FALSE(element->getPointOfSegmentNear(Vector3D(40, 15, -5)));

    // All or nothing: a shift that pushes one point off the line moves none.
    auto straight = Element::create(straightLine(), Element::UserDefined);
    straight->addPoint(Point::create(Vector3D(10, 0, 0), 3.0), false);
    straight->addPoint(Point::create(Vector3D(20, 0, 0), 3.0), false);
    EXPECT_FALSE(straight->move(Vector3D(97, 0, 0)));
    EXPECT_EQ((std::vector<double>{10.0, 20.0}), offsetsOf(*straight));
    EXPECT_TRUE(straight->move(Vector3D(50, 0, 0)));
    EXPECT_EQ((std::vector<double>{45.0, 55.0}), offsetsOf(*straight));
}

TEST(Nerve, SidesElementsAndSearches)
{
    auto line = straightLine();
    auto nerve = Nerve::create(line, Vexa::Plane<double>(Vector3D(50, 0, 0), Vector3D(1, 0, 0)));
    EXPECT_FALSE(nerve->hasChanged());
    EXPECT_TRUE(nerve->isEmpty());
    EXPECT_FALSE(nerve->isAboveDividePlane(Vector3D(50, 5, 5)));
    EXPECT_FALSE(nerve->isAboveDividePlane(Vector3D(50.001, 0, 0)));
    EXPECT_TRUE(nerve->isAboveDividePlane(Vector3D(50.0011, 0, 0)));
    EXPECT_EQ((std::pair<bool, double>{true, 50.0}), nerve->getDividePlaneOffset());

    Element::PointContainer previous;
    auto first = nerve->addPoint(Point::create(Vector3D(20, 0, 0), 3.0), previous, false);
    EXPECT_EQ(1u, first.first.size());
    EXPECT_FALSE(first.second->first);
    auto second = nerve->addPoint(Point::create(Vector3D(30, 0, 0), 3.0), previous, false);
    EXPECT_EQ(first.second, second.second);
    EXPECT_EQ(1u, previous.size());
    auto other = nerve->addPoint(Point::create(Vector3D(70, 0, 0), 3.0), previous, false);
    EXPECT_TRUE(other.second->first);
    EXPECT_EQ(2, std::distance(nerve->elementsBegin(), nerve->elementsEnd()));
    EXPECT_TRUE(nerve->hasChanged());

    // A point cannot be dragged across the divide plane.
    const auto point = *first.first[0];
    nerve->movePoint(point, Vector3D(60, 0, 0));
    EXPECT_EQ(Vector3D(20, 0, 0), point->position);
    nerve->movePoint(point, Vector3D(22, 0, 0));
    EXPECT_EQ(Vector3D(22, 0, 0), point->position);

    // Searches look at the side of the position only.
    EXPECT_TRUE(nerve->getPointNear(Vector3D(68.1, 0, 0)));
    auto nearPlane = nerve->addPoint(Point::create(Vector3D(49, 0, 0), 3.0), previous, false);
    ASSERT_EQ(1u, nearPlane.first.size());
    EXPECT_FALSE(nerve->getPointNear(Vector3D(50.9, 0, 0)));
    EXPECT_TRUE(nerve->getPointNear(Vector3D(47.1, 0, 0)));
    EXPECT_TRUE(nerve->getElementNear(Vector3D(35, 1, 0)));

    // Straddling and empty elements are not added; an old-format element is never extended.
    auto straddling = Element::create(line, Element::OldFormat);
    straddling->addPoint(Point::create(Vector3D(45, 0, 0), 3.0), false);
    straddling->addPoint(Point::create(Vector3D(55, 0, 0), 3.0), false);
    EXPECT_FALSE(nerve->addElement(straddling));
    EXPECT_FALSE(nerve->addElement(Element::create(line, Element::OldFormat)));
    EXPECT_EQ(2, std::distance(nerve->elementsBegin(), nerve->elementsEnd()));

    auto oldNerve = Nerve::create(line, Vexa::Plane<double>(Vector3D(50, 0, 0), Vector3D(1, 0, 0)));
    auto old = Element::create(line, Element::OldFormat);
    old->addPoint(Point::create(Vector3D(10, 0, 0), 3.0), false);
    ASSERT_TRUE(oldNerve->addElement(old));
    auto extended = oldNerve->addPoint(Point::create(Vector3D(30, 0, 0), 3.0), previous, false);
    EXPECT_NE(old, extended.second->second);
    EXPECT_EQ(Element::UserDefined, extended.second->second->getType());
    // A point the line cannot place still leaves an empty user element on its side.
    auto offLine = oldNerve->addPoint(Point::create(Vector3D(150, 0, 0), 3.0), previous, false);
    EXPECT_TRUE(offLine.first.empty());
    EXPECT_TRUE(offLine.second->second->getPointContainer().empty());
    EXPECT_EQ(3, std::distance(oldNerve->elementsBegin(), oldNerve->elementsEnd()));

    // A copy shares the elements.
    auto copy = Nerve::copy(nerve);
    EXPECT_TRUE(copy->hasChanged());
    copy->movePoint(point, Vector3D(25, 0, 0));
    EXPECT_EQ(Vector3D(25, 0, 0), point->position);

    // Emptied elements do not make a nerve.
    auto single = Nerve::create(line, Vexa::Plane<double>(Vector3D(50, 0, 0), Vector3D(1, 0, 0)));
    auto lone = single->addPoint(Point::create(Vector3D(20, 0, 0), 3.0), previous, false);
    EXPECT_FALSE(single->isEmpty());
    single->removePoint(lone.first[0]);
    EXPECT_TRUE(single->isEmpty());
}

TEST(Nerve, ElementsStayReachableAfterTheDividePlaneMoves)
{
    auto line = straightLine();
    // As after loading a planning: the elements are filed under the default plane first.
    auto nerve = Nerve::create(line, Vexa::Plane<double>(Vector3D(200, 0, 0), Vector3D(1, 0, 0)));
    Element::PointContainer previous;
    auto added = nerve->addPoint(Point::create(Vector3D(60, 0, 0), 3.0), previous, false);
    nerve->addPoint(Point::create(Vector3D(70, 0, 0), 3.0), previous, false);
    auto left = nerve->addPoint(Point::create(Vector3D(20, 0, 0), 3.0), previous, false);
    EXPECT_EQ(added.second, left.second);

    nerve->setDividePlane(Vexa::Plane<double>(Vector3D(50, 0, 0), Vector3D(1, 0, 0)));
    EXPECT_TRUE(nerve->hasChanged());
    const auto point = nerve->getPointNear(Vector3D(61, 0, 0));
    ASSERT_TRUE(point);
    EXPECT_EQ(60.0, (**point)->position.x);
    ASSERT_TRUE(nerve->getElement(*point));
    EXPECT_TRUE(nerve->getElementNear(Vector3D(65, 1, 0)));

    const auto moved = **point;
    nerve->movePoint(moved, Vector3D(62, 0, 0));
    EXPECT_EQ(62.0, moved->position.x);
    const auto element = nerve->getElement(moved);
    ASSERT_TRUE(element);
    EXPECT_TRUE(nerve->moveElement(*element, Vector3D(60, 0, 0)));
    nerve->removePoint(*nerve->getPointNear(moved->position));
    EXPECT_FALSE(nerve->getPointNear(moved->position));
    nerve->removeElement((*nerve->getElement((*element)->second->getPointContainer().front()))->second);
    EXPECT_TRUE(nerve->isEmpty());
}
