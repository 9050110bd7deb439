#include "planning/objects/PanoramicLine.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Size2.h"
#include "vexa/slice/Slice.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

using Vexa::Vector3D;

namespace {

// Corners closer than this (squared, mm²) give a segment without a direction.
constexpr double degenerateSquaredLength = 1e-12;
// Corners within 0.001 mm of each other coincide.
constexpr double coincidenceTolerance = 0.001;

bool isFinite(const Vector3D& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

Vector3D unit(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 ? v / length : Vector3D();
}

bool coincide(const Vector3D& a, const Vector3D& b)
{
    return (a - b).squaredLength() < coincidenceTolerance * coincidenceTolerance;
}

bool isDegenerate(const Vector3D& a, const Vector3D& b)
{
    return (b - a).squaredLength() < degenerateSquaredLength;
}

}

std::shared_ptr<PanoramicLine::Corner> PanoramicLine::Corner::create(const Vector3D& position)
{
    return std::make_shared<Corner>(position);
}

std::shared_ptr<PanoramicLine::Corner> PanoramicLine::Corner::create(const Corner& other)
{
    return std::make_shared<Corner>(other);
}

std::shared_ptr<PanoramicLine> PanoramicLine::create(const Vexa::Matrix44<double>& transform, double halfWidth,
                                                     double segmentDistance, double pickTolerance) try
{
    return std::make_shared<PanoramicLine>(transform, halfWidth, segmentDistance, pickTolerance);
}
VEXA_RETHROW

PanoramicLine::PanoramicLine(const Vexa::Matrix44<double>& transform, double halfWidth, double segmentDistance,
                             double pickTolerance)
    : halfWidth_(halfWidth), segmentDistance_(segmentDistance), pickTolerance_(pickTolerance), transform_(transform),
      inverse_(Vexa::inverse(transform))
{
}

void PanoramicLine::setHeight(double height)
{
    height_ = height;
}

Vector3D PanoramicLine::toLine(const Vector3D& world) const
{
    Vector3D p = inverse_ * world;
    p.y = 0.0;
    return p;
}

Vector3D PanoramicLine::toWorld(const Vector3D& line) const
{
    return transform_ * line;
}

PanoramicLine::CornerPtr PanoramicLine::addPoint(const Vector3D& point) try
{
    if (!isFinite(point))
        throw std::runtime_error("PanoramicLine::addPoint(): the point is not finite");
    if (getPointAtPos(point, 2.0 * segmentDistance_, std::nullopt))
        return nullptr;
    const Vector3D p = toLine(point);
    CornerPtr corner = Corner::create(p);
    if (std::optional<CornerIterator> end = nearSegment(p))
        corners_.insert(*end, corner);
    else if (corners_.size() < 2)
        corners_.push_back(corner);
    else if ((p - corners_.back()->getPosition()).squaredLength()
             < (p - corners_.front()->getPosition()).squaredLength())
        corners_.push_back(corner);
    else
        corners_.push_front(corner);

    consolidateLine();
    CornerIterator it = getIterator(corner);
    if (it != corners_.end())
        movePoint(it);
    consolidateLine();
    calcSlices();
    markChanged();
    return getIterator(corner) != corners_.end() ? corner : nullptr;
}
VEXA_RETHROW

void PanoramicLine::setPoints(const std::vector<Vector3D>& points) try
{
    if (points.empty())
        return;
    for (const Vector3D& point : points)
        if (!isFinite(point))
            throw std::runtime_error("PanoramicLine::setPoints(): a stored point is not finite");
    // Stored corners are taken as they are: merging them here would change a saved curve
    // (two adjacent corners closer than the merge distance would both vanish).
    corners_.clear();
    ignored_.clear();
    for (const Vector3D& point : points)
    {
        CornerPtr corner = Corner::create(toLine(point));
        corner->moving() = false;
        corners_.push_back(corner);
    }
    recalculateLinePoints();
    calcSlices();
    markChanged();
}
VEXA_RETHROW

void PanoramicLine::movePoint(CornerIterator corner, const Vector3D& point) try
{
    if (corner == corners_.end())
        return;
    if (!isFinite(point))
        throw std::runtime_error("PanoramicLine::movePoint(): the point is not finite");
    consolidateLine(corner);
    (*corner)->setPosition(toLine(point));
    movePoint(corner);
    calcSlices();
    markChanged();
}
VEXA_RETHROW

void PanoramicLine::movePoint(const CornerPtr& corner, const Vector3D& point) try
{
    if (!corner)
        return;
    CornerIterator it = getIterator(corner);
    if (it != corners_.end())
        movePoint(it, point);
}
VEXA_RETHROW

void PanoramicLine::movePoint(CornerIterator corner) try
{
    if (corner == corners_.end())
        return;
    (*corner)->moving() = true;
    const Vector3D position = (*corner)->getPosition();
    if (corner != corners_.begin())
    {
        CornerIterator previous = std::prev(corner);
        if (coincide((*previous)->getPosition(), position))
            rememberIgnoredCorner(previous, corner);
        else
            (*previous)->setNeedsUpdate(true);
    }
    CornerIterator next = std::next(corner);
    if (next != corners_.end())
    {
        if (coincide((*next)->getPosition(), position))
            rememberIgnoredCorner(next, std::next(next));
        else
            (*next)->setNeedsUpdate(true);
    }
    recalculateLinePoints();
}
VEXA_RETHROW

void PanoramicLine::deletePoint(CornerIterator corner) try
{
    if (corner != corners_.end())
    {
        if (corner != corners_.begin())
            (*std::prev(corner))->setNeedsUpdate(true);
        CornerIterator next = std::next(corner);
        if (next != corners_.end())
            (*next)->setNeedsUpdate(true);
        // A neighbour waiting to go back before this corner goes back where it stood.
        for (IgnoredCorner& record : ignored_)
            if (record.before == *corner)
                record.before = next != corners_.end() ? *next : nullptr;
        corners_.erase(corner);
    }
    recalculateLinePoints();
    calcSlices();
    markChanged();
}
VEXA_RETHROW

void PanoramicLine::deleteLine() try
{
    corners_.clear();
    ignored_.clear();
    calcSlices();
    markChanged();
}
VEXA_RETHROW

void PanoramicLine::consolidateLine(std::optional<CornerIterator> exception) try
{
    const Corner* excepted = exception && *exception != corners_.end() ? (*exception)->get() : nullptr;
    restoreIgnoredCorners();
    CornerVector doomed;
    for (CornerIterator it = corners_.begin(); it != corners_.end(); ++it)
    {
        if (it->get() == excepted || !(*it)->moving())
            continue;
        const std::optional<CornerIterator> near =
            getPointAtPos(toWorld((*it)->getPosition()), 2.0 * segmentDistance_, it);
        if (near)
        {
            const bool isPredecessor = it != corners_.begin() && *near == std::prev(it);
            const bool isSuccessor = *near == std::next(it);
            if (isPredecessor || isSuccessor)
                doomed.push_back(*it);
        }
        (*it)->moving() = false;
    }
    for (const CornerPtr& corner : doomed)
    {
        CornerIterator it = getIterator(corner);
        if (it != corners_.end())
            deletePoint(it);
    }
    calcSlices();
    markChanged();
}
VEXA_RETHROW

void PanoramicLine::restoreIgnoredCorners() try
{
    // Newest first: a corner taken out later stood next to the earlier one's re-insertion node.
    for (auto record = ignored_.rbegin(); record != ignored_.rend(); ++record)
    {
        *record->corner = record->saved;
        CornerIterator before = record->before ? getIterator(record->before) : corners_.end();
        corners_.insert(before, record->corner);
    }
    if (ignored_.empty())
        return;
    ignored_.clear();
    // The returning corners change their neighbours' borders, and their own may be stale.
    recalculateLinePoints();
}
VEXA_RETHROW

PanoramicLine::CornerVector PanoramicLine::getCornerPoints() const
{
    return CornerVector(corners_.begin(), corners_.end());
}

void PanoramicLine::setCornerPoints(const CornerVector& corners) try
{
    corners_.clear();
    ignored_.clear();
    for (const CornerPtr& corner : corners)
    {
        if (!corner)
            continue;
        corner->setNeedsUpdate(true);
        corners_.push_back(corner);
    }
    recalculateLinePoints();
    calcSlices();
    markChanged();
}
VEXA_RETHROW

std::optional<PanoramicLine::CornerIterator> PanoramicLine::getPointAtPos(const Vector3D& point, double tolerance,
                                                                          std::optional<CornerIterator> ignore) try
{
    const Vector3D p = toLine(point);
    for (CornerIterator it = corners_.begin(); it != corners_.end(); ++it)
    {
        if (ignore && it == *ignore)
            continue;
        if (((*it)->getPosition() - p).squaredLength() < tolerance * tolerance)
            return it;
    }
    return std::nullopt;
}
VEXA_RETHROW

std::optional<PanoramicLine::CornerIterator> PanoramicLine::getPointAtPos(const Vector3D& point) try
{
    return getPointAtPos(point, pickTolerance_, std::nullopt);
}
VEXA_RETHROW

PanoramicLine::CornerIterator PanoramicLine::getIterator(const CornerPtr& corner)
{
    return std::find(corners_.begin(), corners_.end(), corner);
}

std::optional<PanoramicLine::CornerIterator> PanoramicLine::getMovingCorner()
{
    for (CornerIterator it = corners_.begin(); it != corners_.end(); ++it)
        if ((*it)->moving())
            return it;
    return std::nullopt;
}

std::optional<PanoramicLine::CornerIterator> PanoramicLine::nearSegment(const Vector3D& linePoint) try
{
    std::optional<CornerIterator> result;
    double best = pickTolerance_ * pickTolerance_;
    for (CornerIterator a = corners_.begin(); a != corners_.end() && std::next(a) != corners_.end(); ++a)
    {
        const CornerIterator b = std::next(a);
        const Vector3D& start = (*a)->getPosition();
        const Vector3D& end = (*b)->getPosition();
        if (isDegenerate(start, end))
            continue;
        const double length = (end - start).length();
        const Vector3D u = (end - start) / length;
        const double t = u.dot(linePoint - start);
        if (t < 0.0 || t > length)
            continue;
        const double distance = (linePoint - (start + u * t)).squaredLength();
        if (distance < best)
        {
            best = distance;
            result = b;
        }
    }
    return result;
}
VEXA_RETHROW

std::pair<PanoramicLine::ConstCornerIterator, Vexa::Plane<double>>
PanoramicLine::getNearestSectionPlane(const Vector3D& point) const try
{
    const Vector3D q = inverse_ * point;
    Vexa::Plane<double> best(Vector3D(0, 0, 0), Vector3D(1, 0, 0));
    ConstCornerIterator result = corners_.end();
    double bestDistance = std::numeric_limits<double>::max();
    for (ConstCornerIterator a = corners_.begin(); a != corners_.end() && std::next(a) != corners_.end(); ++a)
    {
        const Vector3D& start = (*a)->getPosition();
        const Vector3D& end = (*std::next(a))->getPosition();
        if (isDegenerate(start, end))
            continue;
        const Vector3D d = end - start;
        const double length = d.length();
        const double t = (d / length).dot(q - start);
        if (t < 0.0 || t > length)
            continue;
        const Vector3D normal = unit(Vector3D(-d.z, 0.0, d.x));
        const double distance = std::abs(normal.dot(q - start));
        if (distance < bestDistance)
        {
            bestDistance = distance;
            best = Vexa::Plane<double>(start, normal);
            result = a;
        }
    }
    best.transform(transform_);
    return {result, best};
}
VEXA_RETHROW

std::pair<PanoramicLine::ConstCornerIterator, double> PanoramicLine::getOffset(const Vector3D& point) const try
{
    const ConstCornerIterator segment = getNearestSectionPlane(point).first;
    if (segment == corners_.end())
        return {segment, 0.0};
    double offset = 0.0;
    for (ConstCornerIterator a = corners_.begin(); a != segment; ++a)
        offset += ((*std::next(a))->getPosition() - (*a)->getPosition()).length();
    const Vector3D& start = (*segment)->getPosition();
    const Vector3D d = unit((*std::next(segment))->getPosition() - start);
    offset += d.dot(inverse_ * point - start);
    return {segment, offset};
}
VEXA_RETHROW

double PanoramicLine::getOrthogonalDistance(const Vector3D& point) const try
{
    const auto [segment, plane] = getNearestSectionPlane(point);
    if (segment == corners_.end())
        return std::numeric_limits<double>::max();
    return std::abs(plane.getNormal().dot(point - plane.getPoint()));
}
VEXA_RETHROW

Vector3D PanoramicLine::getWorldPos(double offset) const try
{
    static const char* const unreachable =
        "PanoramicLine::getWorldPos(): point should never been reached, check pre condintions.";
    if (corners_.size() < 2 || !std::isfinite(offset))
        throw std::runtime_error(unreachable);
    double walked = 0.0;
    bool first = true;
    for (ConstCornerIterator a = corners_.begin(); std::next(a) != corners_.end(); ++a)
    {
        const Vector3D& start = (*a)->getPosition();
        const Vector3D& end = (*std::next(a))->getPosition();
        if (isDegenerate(start, end))
            continue; // no direction; the next segment starts at the same place
        const double length = (end - start).length();
        // Offsets below 0 lie on the extension of the first segment that has a direction.
        if (offset <= walked + length || (first && offset < 0.0))
            return toWorld(start + (end - start) * ((offset - walked) / length));
        walked += length;
        first = false;
    }
    // The walk and getLength may differ by rounding: the end of the curve is accepted.
    const double length = walked;
    if (offset <= length + 1e-6 * std::max(1.0, length))
        return toWorld(corners_.back()->getPosition());
    throw std::runtime_error(unreachable);
}
VEXA_RETHROW

double PanoramicLine::getLength() const try
{
    double length = 0.0;
    for (ConstCornerIterator a = corners_.begin(); a != corners_.end() && std::next(a) != corners_.end(); ++a)
        length += (toWorld((*std::next(a))->getPosition()) - toWorld((*a)->getPosition())).length();
    return length;
}
VEXA_RETHROW

std::pair<PanoramicLine::ConstCornerIterator, Vector3D> PanoramicLine::intersects(const Vexa::Plane<double>& plane) const try
{
    if (corners_.size() < 2)
        return {corners_.end(), Vector3D()};
    Vexa::Plane<double> local = plane;
    local.transform(inverse_);
    for (ConstCornerIterator a = corners_.begin(); std::next(a) != corners_.end(); ++a)
    {
        const Vector3D& p0 = (*a)->getPosition();
        const Vector3D& p1 = (*std::next(a))->getPosition();
        const double d0 = local.getSignedDistance(p0);
        const double d1 = local.getSignedDistance(p1);
        if ((d0 < 0.0) == (d1 < 0.0))
            continue;
        const double t = d1 / (d1 - d0);
        return {a, toWorld(p0 * t + p1 * (1.0 - t))};
    }
    return {corners_.end(), Vector3D()};
}
VEXA_RETHROW

std::vector<Vector3D> PanoramicLine::getBorderCrossingPoints(const Vector3D& a, const Vector3D& b) const try
{
    auto first = getOffset(a);
    auto second = getOffset(b);
    if (first.first == corners_.end() || second.first == corners_.end() || first.first == second.first)
        return {};
    const long firstIndex = std::distance(corners_.begin(), first.first);
    const long secondIndex = std::distance(corners_.begin(), second.first);
    Vector3D firstPoint = a;
    Vector3D secondPoint = b;
    // Equal offsets on different segments (both at the shared corner): curve order decides,
    // so that the walk below runs forward.
    if (second.second < first.second || (second.second == first.second && secondIndex < firstIndex))
    {
        std::swap(first, second);
        std::swap(firstPoint, secondPoint);
    }
    const double firstY = (inverse_ * firstPoint).y;
    const double secondY = (inverse_ * secondPoint).y;
    const double span = second.second - first.second;

    std::vector<Vector3D> result;
    double walked = 0.0;
    for (ConstCornerIterator it = corners_.begin(); it != corners_.end(); ++it)
    {
        if (it != corners_.begin())
            walked += ((*it)->getPosition() - (*std::prev(it))->getPosition()).length();
        if (std::distance(corners_.begin(), it) <= std::min(firstIndex, secondIndex))
            continue;
        Vector3D corner = (*it)->getPosition();
        corner.y = span > 0.0 ? firstY + (secondY - firstY) * ((walked - first.second) / span) : firstY;
        result.push_back(toWorld(corner));
        if (it == second.first)
            break;
    }
    return result;
}
VEXA_RETHROW

int PanoramicLine::getIntersection(const Vector3D& p1, const Vector3D& d1, const Vector3D& p2, const Vector3D& d2,
                                   Vector3D& out)
{
    return Vexa::getIntersection(Vexa::Line3<double>(p1, d1), Vexa::Line3<double>(p2, d2), out);
}

void PanoramicLine::calculateUpperLowerPoints(const CornerIterator& corner) try
{
    const Vector3D c = (*corner)->getPosition();
    // Neighbours that coincide with the corner give no direction: the next distinct ones do.
    std::optional<Vector3D> previous;
    for (CornerIterator it = corner; it != corners_.begin();)
    {
        --it;
        if (!isDegenerate((*it)->getPosition(), c))
        {
            previous = (*it)->getPosition();
            break;
        }
    }
    std::optional<Vector3D> next;
    for (CornerIterator it = std::next(corner); it != corners_.end(); ++it)
        if (!isDegenerate((*it)->getPosition(), c))
        {
            next = (*it)->getPosition();
            break;
        }

    if (!previous && !next)
    {
        (*corner)->setUpperLowerPoints(c, c);
        return;
    }
    if (!previous)
    {
        CalcPerpendicularUpperLower(corner, *next - c, 1.0);
        return;
    }
    if (!next)
    {
        CalcPerpendicularUpperLower(corner, *previous - c, -1.0);
        return;
    }
    const Vector3D d1 = c - *previous;
    const Vector3D d2 = *next - c;
    Vector3D unused;
    if (getIntersection(c, d1, c, d2, unused) == 2)
    {
        CalcPerpendicularUpperLower(corner, d2, 1.0);
        return;
    }
    const Vector3D e1 = unit(Vector3D(d1.z, 0.0, -d1.x)) * halfWidth_;
    const Vector3D e2 = unit(Vector3D(d2.z, 0.0, -d2.x)) * halfWidth_;
    Vector3D upper;
    Vector3D lower;
    getIntersection(*previous + e1, d1, *next + e2, -d2, upper);
    getIntersection(*previous - e1, d1, *next - e2, -d2, lower);
    (*corner)->setUpperLowerPoints(upper, lower);
}
VEXA_RETHROW

void PanoramicLine::CalcPerpendicularUpperLower(const CornerIterator& corner, const Vector3D& direction,
                                                double factor) try
{
    const Vector3D p = unit(Vector3D(-factor * direction.z, 0.0, factor * direction.x)) * halfWidth_;
    const Vector3D& c = (*corner)->getPosition();
    (*corner)->setUpperLowerPoints(c - p, c + p);
}
VEXA_RETHROW

void PanoramicLine::recalculateLinePoints() try
{
    // Every corner is recomputed, not only the flagged ones: a corner's borders depend on its
    // nearest distinct neighbours, which a removal or a coincidence further along can change.
    for (CornerIterator it = corners_.begin(); it != corners_.end(); ++it)
        calculateUpperLowerPoints(it);
}
VEXA_RETHROW

Vector3D PanoramicLine::segmentDirection(ConstCornerIterator start) const
{
    // The segment's own direction, or for a segment of zero length that of the nearest
    // segment that has one, so that its slice still gets a proper frame.
    auto directionOf = [](ConstCornerIterator a) {
        const Vector3D& p = (*a)->getPosition();
        const Vector3D& q = (*std::next(a))->getPosition();
        return isDegenerate(p, q) ? std::optional<Vector3D>() : std::optional<Vector3D>(unit(q - p));
    };
    for (ConstCornerIterator a = start; std::next(a) != corners_.end(); ++a)
        if (auto d = directionOf(a))
            return *d;
    for (ConstCornerIterator a = start; a != corners_.begin();)
    {
        --a;
        if (auto d = directionOf(a))
            return *d;
    }
    return Vector3D(1.0, 0.0, 0.0);
}

void PanoramicLine::calcSlices() try
{
    slices_.clear();
    if (corners_.size() < 2)
        return;
    slices_.reserve(corners_.size() - 1);
    for (ConstCornerIterator a = corners_.begin(); std::next(a) != corners_.end(); ++a)
    {
        const Vector3D start = toWorld((*a)->getPosition());
        const Vector3D end = toWorld((*std::next(a))->getPosition());
        const Vector3D u = unit(transform_.rotate(segmentDirection(a)));
        const Vector3D up(0.0, 0.0, 1.0);
        const Vexa::Matrix44<double> frame(u, up, u.cross(up), start);
        slices_.push_back(Vexa::Slice::create(frame, Vexa::Size2<double>((end - start).length(), height_)));
    }
}
VEXA_RETHROW

void PanoramicLine::rememberIgnoredCorner(CornerIterator corner, CornerIterator before) try
{
    ignored_.push_back({*corner, **corner, before == corners_.end() ? nullptr : *before});
    corners_.erase(corner);
}
VEXA_RETHROW
