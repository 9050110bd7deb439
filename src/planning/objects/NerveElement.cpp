#include "planning/objects/Nerve.h"
#include "planning/objects/PanoramicLine.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Matrix44.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"

#include <cmath>

using Vexa::Vector3D;
using Element = Nerve::Element;

namespace {

// Two points closer than this are one point of the nerve (mm).
constexpr double pointDistance = 2.0;
// Offset given to points off the line that come before the first point on it.
constexpr double offsetBeforeLine = -999999.0;

bool isFinite(const Vector3D& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

double squaredDistanceToSegment(const Vector3D& p, const Vector3D& a, const Vector3D& b)
{
    const Vector3D d = b - a;
    const double length2 = d.squaredLength();
    if (length2 <= 0.0)
        return (p - a).squaredLength();
    const double t = d.dot(p - a) / length2;
    if (t <= 0.0)
        return (p - a).squaredLength();
    if (t >= 1.0)
        return (p - b).squaredLength();
    return (p - (a + d * t)).squaredLength();
}

// The frame of a tube segment: x along the segment, y and z around it.
Vexa::Matrix44<double> segmentFrame(const Vector3D& from, const Vector3D& direction)
{
    const Vector3D x = direction / direction.length();
    Vector3D helper(direction.y, direction.x, direction.z);
    if (direction.x == direction.y)
        helper.x += 1.0;
    Vector3D y = x.cross(helper);
    // (a, -a, 0) swaps into its own opposite: any helper off the axis does.
    if (y.squaredLength() < 1e-12 * helper.squaredLength())
        y = x.cross(std::abs(x.z) < 0.9 ? Vector3D(0, 0, 1) : Vector3D(1, 0, 0));
    y = y / y.length();
    const Vector3D z = x.cross(y);
    return Vexa::Matrix44<double>(x, y, z, from);
}

}

std::shared_ptr<Element::Point> Element::Point::create(const Vector3D& position, double diameter)
{
    auto point = std::make_shared<Point>();
    point->position = position;
    point->diameter = diameter;
    return point;
}

std::shared_ptr<Element> Element::create(const std::shared_ptr<PanoramicLine> line, const Type& type) try
{
    return std::make_shared<Element>(line, type);
}
VEXA_RETHROW

Element::Element(std::shared_ptr<PanoramicLine> line, Type type) : line_(std::move(line)), type_(type)
{
}

Vector3D Element::getCenter() const
{
    Vector3D sum;
    if (points_.empty())
        return sum;
    for (const PointPtr& point : points_)
        sum += point->position;
    return sum / static_cast<double>(points_.size());
}

void Element::setPointContainer(const PointContainer& points) try
{
    points_ = points;
    changed_ = true;
    valid_ = false;
}
VEXA_RETHROW

void Element::invalidate()
{
    changed_ = true;
    valid_ = false;
}

bool Element::isAcceptable(const Point& point)
{
    return isFinite(point.position) && std::isfinite(point.diameter) && point.diameter > 0.0;
}

std::pair<Element::PointIterator, bool> Element::insert(const PointPtr& point)
{
    for (PointIterator it = points_.begin(); it != points_.end(); ++it)
        if ((*it)->offset == point->offset)
            return {it, false};
    PointIterator before = points_.begin();
    while (before != points_.end() && !(point->offset < (*before)->offset))
        ++before;
    return {points_.insert(before, point), true};
}

std::vector<Element::PointIterator> Element::addPoint(const PointPtr& point, bool fill) try
{
    if (!point || !isAcceptable(*point))
        return {};
    if (getPointNear(point->position))
        return {};
    const auto placed = line_->getOffset(point->position);
    if (placed.first == line_->cornersEnd())
        return {};
    point->offset = placed.second;
    const auto [it, inserted] = insert(point);
    if (!inserted)
        return {};
    std::vector<PointIterator> result{it};
    changed_ = true;
    valid_ = false;
    if (!fill)
        return result;

    const PointIterator previous = it == points_.begin() ? it : std::prev(it);
    const PointIterator next = std::next(it) == points_.end() ? it : std::next(it);
    std::vector<Vector3D> crossings = line_->getBorderCrossingPoints((*previous)->position, point->position);
    const std::vector<Vector3D> after = line_->getBorderCrossingPoints(point->position, (*next)->position);
    crossings.insert(crossings.end(), after.begin(), after.end());
    for (const Vector3D& crossing : crossings)
    {
        if (getPointNear(crossing))
            continue;
        const auto offset = line_->getOffset(crossing);
        if (offset.first == line_->cornersEnd())
            continue;
        PointPtr fillPoint = Point::create(crossing, point->diameter);
        fillPoint->offset = offset.second;
        result.push_back(insert(fillPoint).first);
    }
    return result;
}
VEXA_RETHROW

bool Element::simpleAddPoint(const PointPtr& point) try
{
    if (!point || !isAcceptable(*point) || !std::isfinite(point->offset))
        return false;
    const bool inserted = insert(point).second;
    if (inserted)
        valid_ = false;
    return inserted;
}
VEXA_RETHROW

bool Element::movePoint(const PointPtr& point, const Vector3D& position) try
{
    if (!point || !isFinite(position))
        return false;
    const auto placed = line_->getOffset(position);
    if (placed.first == line_->cornersEnd())
        return false;
    point->position = position;
    point->offset = placed.second;
    changed_ = true;
    valid_ = false;
    return true;
}
VEXA_RETHROW

bool Element::movePoint(PointIterator point, const Vector3D& position) try
{
    return movePoint(*point, position);
}
VEXA_RETHROW

void Element::removePoint(PointIterator point) try
{
    points_.erase(point);
    changed_ = true;
    valid_ = false;
}
VEXA_RETHROW

bool Element::move(const Vector3D& target) try
{
    const Vector3D shift = target - getCenter();
    // All or nothing: every shifted point must have its place on the line first.
    for (const PointPtr& point : points_)
        if (line_->getOffset(point->position + shift).first == line_->cornersEnd())
            return false;
    for (const PointPtr& point : points_)
        movePoint(point, point->position + shift);
    return true;
}
VEXA_RETHROW

std::optional<Element::PointIterator> Element::findPointNear(const PointPtr& point) try
{
    for (PointIterator it = points_.begin(); it != points_.end(); ++it)
        if (*it != point && ((*it)->position - point->position).length() < pointDistance)
            return it;
    return std::nullopt;
}
VEXA_RETHROW

std::optional<Element::PointIterator> Element::getPointNear(const Vector3D& position)
{
    for (PointIterator it = points_.begin(); it != points_.end(); ++it)
        if (((*it)->position - position).length() < pointDistance)
            return it;
    return std::nullopt;
}

bool Element::isPointExisting(const PointPtr& point) const try
{
    for (const PointPtr& mine : points_)
        if (mine == point)
            return true;
    return false;
}
VEXA_RETHROW

bool Element::isPointExisting(PointIterator point) const try
{
    // Iterators of different chains must not be compared; the node's address tells.
    for (const PointPtr& mine : points_)
        if (&mine == &*point)
            return true;
    return false;
}
VEXA_RETHROW

std::optional<Element::PointIterator> Element::getPointOfSegmentNear(const Vector3D& position) try
{
    validate(std::optional<PointIterator>(), false);
    if (points_.empty())
        return std::nullopt;
    if (points_.size() == 1)
    {
        if ((points_.front()->position - position).length() < pointDistance)
            return points_.begin();
        return std::nullopt;
    }
    for (PointIterator it = points_.begin(); std::next(it) != points_.end(); ++it)
        if (std::sqrt(squaredDistanceToSegment(position, (*it)->position, (*std::next(it))->position)) < pointDistance)
            return it;
    return std::nullopt;
}
VEXA_RETHROW

void Element::validate(const PointPtr& point, bool force) try
{
    // At most one neighbour that came too close to the given point goes.
    if (point)
        if (std::optional<PointIterator> near = findPointNear(point))
            removePoint(*near);
    validate(std::optional<PointIterator>(), force);
}
VEXA_RETHROW

void Element::validate(std::optional<PointIterator> point, bool force) try
{
    if (point)
    {
        validate(PointPtr(**point), force);
        return;
    }
    if (!valid_ || !measured_ || lineChange_ != line_->getChangeCount() || force)
    {
        measured_ = true;
        lineChange_ = line_->getChangeCount();
        double running = offsetBeforeLine;
        for (const PointPtr& p : points_)
        {
            const auto placed = line_->getOffset(p->position);
            if (placed.first != line_->cornersEnd())
            {
                p->offset = placed.second;
                running = line_->getLength();
            }
            else
            {
                p->offset = running;
                running += 1.0;
            }
        }
    }
    // Nothing is written when nothing is due: readers on other threads validate as well.
    if (!valid_ || force)
    {
        buildTube();
        valid_ = true;
    }
}
VEXA_RETHROW

void Element::buildTube()
{
    mesh_.reset();
    if (points_.size() < 2)
        return;
    double lastDiameter = 0.0;
    bool anySegment = false;
    for (auto it = points_.begin(); std::next(it) != points_.end(); ++it)
    {
        const Point& from = **it;
        const Point& to = **std::next(it);
        const Vector3D direction = to.position - from.position;
        const double length = direction.length();
        // Coincident points (possible in stored plannings) give no segment direction.
        if (!(length > 1e-9))
            continue;
        const double diameter = 0.5 * (from.diameter + to.diameter);
        const auto frame = segmentFrame(from.position, direction);
        auto cylinder = Vexa::createCylinderMesh(frame, length, diameter, diameter, false, anySegment ? 10u : 15u, 1u);
        if (!mesh_)
            mesh_ = cylinder;
        else
            mesh_->addUnoptimized(cylinder);
        if (type_ == UserDefined)
            mesh_->addUnoptimized(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(from.position),
                                                            Vector3D(diameter, diameter, diameter), 10, 10));
        lastDiameter = diameter;
        anySegment = true;
    }
    if (!mesh_)
        return;
    if (type_ == UserDefined)
        mesh_->addUnoptimized(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(points_.back()->position),
                                                        Vector3D(lastDiameter, lastDiameter, lastDiameter), 10, 10));
    mesh_->setUseFloatArrays(true);
}

std::shared_ptr<Vexa::IndexedTriangleMesh> Element::getMesh() try
{
    validate(std::optional<PointIterator>(), false);
    return mesh_;
}
VEXA_RETHROW
