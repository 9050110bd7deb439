#include "planning/objects/Nerve.h"
#include "planning/objects/PanoramicLine.h"

#include "vexa/core/ExceptionStack.h"

using Vexa::Vector3D;

std::shared_ptr<Nerve> Nerve::create(const std::shared_ptr<PanoramicLine> line, const Vexa::Plane<double>& plane) try
{
    return std::make_shared<Nerve>(line, plane);
}
VEXA_RETHROW

std::shared_ptr<Nerve> Nerve::copy(const std::shared_ptr<Nerve> other) try
{
    auto nerve = std::make_shared<Nerve>(other->line_, other->dividePlane_);
    nerve->elements_ = other->elements_;
    nerve->changed_ = true;
    return nerve;
}
VEXA_RETHROW

Nerve::Nerve(std::shared_ptr<PanoramicLine> line, const Vexa::Plane<double>& plane)
    : line_(std::move(line)), dividePlane_(plane)
{
}

void Nerve::assign(const std::shared_ptr<Nerve> other) try
{
    elements_ = other->elements_;
    dividePlane_ = other->dividePlane_;
    changed_ = other->changed_;
}
VEXA_RETHROW

bool Nerve::isEmpty() const
{
    for (const auto& [side, element] : elements_)
        if (!element->getPointContainer().empty())
            return false;
    return true;
}

void Nerve::setDividePlane(const Vexa::Plane<double>& plane) try
{
    dividePlane_ = plane;
    changed_ = true;
    // Every search looks only under the side of its position, so the keys must follow the plane.
    rekey();
}
VEXA_RETHROW

void Nerve::rekey()
{
    ElementMap rekeyed;
    for (const auto& [side, element] : elements_)
    {
        const auto& points = element->getPointContainer();
        rekeyed.emplace(points.empty() ? side : isAboveDividePlane(points.front()->position), element);
    }
    elements_.swap(rekeyed);
}

std::vector<Nerve::ElementIterator> Nerve::elementsOnSide(bool side)
{
    // The elements filed under the side, then those filed under the other side that reach
    // over the plane (a plane moved after they were made can leave an element on both sides).
    std::vector<ElementIterator> result;
    const auto [begin, end] = elements_.equal_range(side);
    for (ElementIterator it = begin; it != end; ++it)
        result.push_back(it);
    for (ElementIterator it = elements_.begin(); it != elements_.end(); ++it)
    {
        if (it->first == side)
            continue;
        for (const Element::PointPtr& point : it->second->getPointContainer())
            if (isAboveDividePlane(point->position) == side)
            {
                result.push_back(it);
                break;
            }
    }
    return result;
}

bool Nerve::isAboveDividePlane(const Vector3D& position) const
{
    return (position - dividePlane_.getPoint()).dot(dividePlane_.getNormal()) > 0.001;
}

const std::pair<bool, double> Nerve::getDividePlaneOffset() const try
{
    const auto crossing = line_->intersects(dividePlane_);
    if (crossing.first == line_->cornersEnd())
        return {false, 0.0};
    const auto offset = line_->getOffset(crossing.second);
    if (offset.first == line_->cornersEnd())
        return {false, 0.0};
    return {true, offset.second};
}
VEXA_RETHROW

std::pair<bool, bool> Nerve::getElementSide(const ElementPtr& element) const try
{
    const auto& points = element->getPointContainer();
    if (points.empty())
        return {false, false};
    const bool side = isAboveDividePlane(points.front()->position);
    for (const Element::PointPtr& point : points)
        if (isAboveDividePlane(point->position) != side)
            return {side, false};
    return {side, true};
}
VEXA_RETHROW

std::optional<Nerve::ElementIterator> Nerve::addElement(const ElementPtr& element) try
{
    if (!element || element->getPointContainer().empty())
        return std::nullopt;
    const auto [side, oneSide] = getElementSide(element);
    if (!oneSide)
        return std::nullopt;
    changed_ = true;
    return elements_.emplace(side, element);
}
VEXA_RETHROW

std::pair<std::vector<Nerve::PointIterator>, Nerve::ElementIterator>
Nerve::addPoint(const Element::PointPtr& point, Element::PointContainer& previous, bool fill) try
{
    const bool side = isAboveDividePlane(point->position);
    const auto [begin, end] = elements_.equal_range(side);
    for (ElementIterator it = begin; it != end; ++it)
        if (it->second->getType() == Element::UserDefined)
        {
            previous = it->second->getPointContainer();
            return {it->second->addPoint(point, fill), it};
        }
    ElementPtr element = Element::create(line_, Element::UserDefined);
    previous = element->getPointContainer();
    std::vector<PointIterator> added = element->addPoint(point, fill);
    return {std::move(added), elements_.emplace(side, element)};
}
VEXA_RETHROW

void Nerve::movePoint(const Element::PointPtr& point, const Vector3D& position) try
{
    if (!point || line_->getOffset(position).first == line_->cornersEnd())
        return;
    const std::optional<ElementIterator> element = getElement(point);
    if (!element)
        return;
    // A point cannot be dragged across the divide plane.
    if (isAboveDividePlane(position) == isAboveDividePlane(point->position))
        (*element)->second->movePoint(point, position);
}
VEXA_RETHROW

void Nerve::movePoint(PointIterator point, const Vector3D& position) try
{
    movePoint(Element::PointPtr(*point), position);
}
VEXA_RETHROW

bool Nerve::moveElement(ElementIterator element, const Vector3D& target) try
{
    return element->second->move(target);
}
VEXA_RETHROW

void Nerve::removePoint(PointIterator point) try
{
    if (const std::optional<ElementIterator> element = getElement(point))
        (*element)->second->removePoint(point);
}
VEXA_RETHROW

void Nerve::removeElement(ElementIterator element) try
{
    elements_.erase(element);
    changed_ = true;
}
VEXA_RETHROW

void Nerve::removeElement(const ElementPtr& element) try
{
    if (const auto it = findElement(element))
        removeElement(*it);
}
VEXA_RETHROW

std::optional<Nerve::ElementIterator> Nerve::findElement(const ElementPtr& element) try
{
    for (ElementIterator it = elements_.begin(); it != elements_.end(); ++it)
        if (it->second == element)
            return it;
    return std::nullopt;
}
VEXA_RETHROW

void Nerve::clear() try
{
    elements_.clear();
    changed_ = true;
}
VEXA_RETHROW

void Nerve::setElementContainer(const ElementMap& elements) try
{
    elements_ = elements;
    for (auto& [side, element] : elements_)
        element->invalidate();
    changed_ = true;
    rekey();
}
VEXA_RETHROW

std::optional<Nerve::PointIterator> Nerve::getPointNear(const Vector3D& position) try
{
    for (ElementIterator it : elementsOnSide(isAboveDividePlane(position)))
        if (std::optional<PointIterator> point = it->second->getPointNear(position))
            return point;
    return std::nullopt;
}
VEXA_RETHROW

std::optional<Nerve::ElementIterator> Nerve::getElement(PointIterator point) try
{
    for (ElementIterator it : elementsOnSide(isAboveDividePlane((*point)->position)))
        if (it->second->isPointExisting(point))
            return it;
    return std::nullopt;
}
VEXA_RETHROW

std::optional<Nerve::ElementIterator> Nerve::getElement(const Element::PointPtr& point) try
{
    for (ElementIterator it : elementsOnSide(isAboveDividePlane(point->position)))
        if (it->second->isPointExisting(point))
            return it;
    return std::nullopt;
}
VEXA_RETHROW

std::optional<Nerve::ElementIterator> Nerve::getElementNear(const Vector3D& position) try
{
    for (ElementIterator it : elementsOnSide(isAboveDividePlane(position)))
        if (it->second->getPointOfSegmentNear(position))
            return it;
    return std::nullopt;
}
VEXA_RETHROW

void Nerve::validate(const Element::PointPtr& point, bool force) try
{
    if (!point)
    {
        for (auto& [side, element] : elements_)
            element->validate(Element::PointPtr(), force);
        return;
    }
    if (const std::optional<ElementIterator> element = getElement(point))
        (*element)->second->validate(point, force);
}
VEXA_RETHROW

void Nerve::validate(std::optional<PointIterator> point, bool force) try
{
    validate(point ? Element::PointPtr(**point) : Element::PointPtr(), force);
}
VEXA_RETHROW

bool Nerve::hasChanged() const try
{
    if (changed_)
        return true;
    for (const auto& [side, element] : elements_)
        if (element->hasChanged())
            return true;
    return false;
}
VEXA_RETHROW

void Nerve::clearChangedState() try
{
    changed_ = false;
    for (auto& [side, element] : elements_)
        element->clearChangedState();
}
VEXA_RETHROW
