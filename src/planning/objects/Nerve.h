#pragma once
// The traced nerve canal: elements (chains of points over the panoramic line, each drawn as a
// tube) kept under the side of the divide plane on which they lie, one side per jaw half.
#include "vexa/math/Plane.h"
#include "vexa/math/Vector3.h"

#include <list>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class PanoramicLine;

namespace Vexa {
class IndexedTriangleMesh;
}

class Nerve
{
public:
    class Element
    {
    public:
        struct Point
        {
            Vexa::Vector3D position;
            double offset = 0.0; // distance along the panoramic line; the chain's sort key
            double diameter = 0.0;

            static std::shared_ptr<Point> create(const Vexa::Vector3D& position, double diameter);
        };

        // 0: read from a planning of the old nerve format (tube only); 1: traced by the user.
        enum Type
        {
            OldFormat = 0,
            UserDefined = 1
        };

        using PointPtr = std::shared_ptr<Point>;
        // The chain in tube order. Offsets are refreshed in place when the line changes, so the
        // chain is a list in insertion order rather than a set keyed by offset.
        using PointContainer = std::list<PointPtr>;
        using PointIterator = PointContainer::iterator;

        static std::shared_ptr<Element> create(const std::shared_ptr<PanoramicLine> line, const Type& type);
        Element(std::shared_ptr<PanoramicLine> line, Type type);

        Type getType() const { return type_; }
        Vexa::Vector3D getCenter() const;
        PointContainer& getPointContainer() { return points_; }
        const PointContainer& getPointContainer() const { return points_; }
        void setPointContainer(const PointContainer& points);

        void invalidate();
        bool hasChanged() const { return changed_; }
        void clearChangedState() { changed_ = false; }
        bool isValid() const { return valid_; }

        std::vector<PointIterator> addPoint(const PointPtr& point, bool fill);
        bool simpleAddPoint(const PointPtr& point);
        bool movePoint(const PointPtr& point, const Vexa::Vector3D& position);
        bool movePoint(PointIterator point, const Vexa::Vector3D& position);
        void removePoint(PointIterator point);
        bool move(const Vexa::Vector3D& target);

        std::optional<PointIterator> findPointNear(const PointPtr& point);
        std::optional<PointIterator> getPointNear(const Vexa::Vector3D& position);
        bool isPointExisting(const PointPtr& point) const;
        bool isPointExisting(PointIterator point) const;
        std::optional<PointIterator> getPointOfSegmentNear(const Vexa::Vector3D& position);

        void validate(const PointPtr& point, bool force);
        void validate(std::optional<PointIterator> point, bool force);
        std::shared_ptr<Vexa::IndexedTriangleMesh> getMesh();

        // Points are refused when they carry a non-finite position or a diameter that is not
        // a positive finite number: they would make the tube undefined.
        static bool isAcceptable(const Point& point);

    private:
        // Inserts before the first point with a greater offset; an equal offset refuses and
        // answers the point that holds it.
        std::pair<PointIterator, bool> insert(const PointPtr& point);
        void buildTube();

        PointContainer points_;
        std::shared_ptr<PanoramicLine> line_;
        bool valid_ = false;
        bool changed_ = true;
        // The line's change count the offsets were last measured against: a changed line is
        // measured again once, and readers of an up-to-date element change nothing.
        unsigned long lineChange_ = 0;
        bool measured_ = false;
        std::shared_ptr<Vexa::IndexedTriangleMesh> mesh_;
        Type type_;
    };

    using ElementPtr = std::shared_ptr<Element>;
    using ElementMap = std::multimap<bool, ElementPtr>;
    using ElementIterator = ElementMap::iterator;
    using PointIterator = Element::PointIterator;

    static std::shared_ptr<Nerve> create(const std::shared_ptr<PanoramicLine> line, const Vexa::Plane<double>& plane);
    static std::shared_ptr<Nerve> copy(const std::shared_ptr<Nerve> other);
    Nerve(std::shared_ptr<PanoramicLine> line, const Vexa::Plane<double>& plane);

    void assign(const std::shared_ptr<Nerve> other);
    // True when no element holds a point (elements emptied by deletions draw nothing).
    bool isEmpty() const;
    void setDividePlane(const Vexa::Plane<double>& plane);
    const Vexa::Plane<double>& getDividePlane() const { return dividePlane_; }
    bool isAboveDividePlane(const Vexa::Vector3D& position) const;
    const std::pair<bool, double> getDividePlaneOffset() const;

    std::pair<ElementIterator, ElementIterator> getElements() { return {elements_.begin(), elements_.end()}; }
    ElementIterator elementsBegin() { return elements_.begin(); }
    ElementIterator elementsEnd() { return elements_.end(); }
    std::pair<bool, bool> getElementSide(const ElementPtr& element) const;

    std::optional<ElementIterator> addElement(const ElementPtr& element);
    std::pair<std::vector<PointIterator>, ElementIterator> addPoint(const Element::PointPtr& point,
                                                                    Element::PointContainer& previous, bool fill);
    void movePoint(const Element::PointPtr& point, const Vexa::Vector3D& position);
    void movePoint(PointIterator point, const Vexa::Vector3D& position);
    bool moveElement(ElementIterator element, const Vexa::Vector3D& target);
    void removePoint(PointIterator point);
    void removeElement(ElementIterator element);
    void removeElement(const ElementPtr& element);
    void clear();
    void setElementContainer(const ElementMap& elements);

    std::optional<PointIterator> getPointNear(const Vexa::Vector3D& position);
    std::optional<ElementIterator> getElement(PointIterator point);
    std::optional<ElementIterator> getElement(const Element::PointPtr& point);
    std::optional<ElementIterator> getElementNear(const Vexa::Vector3D& position);
    // Where the element object is filed now (its iterator changes when the map is restored).
    std::optional<ElementIterator> findElement(const ElementPtr& element);

    void validate(const Element::PointPtr& point, bool force);
    void validate(std::optional<PointIterator> point, bool force);
    bool hasChanged() const;
    void clearChangedState();

private:
    // Files each element under the side of its first point, keeping the order within a side.
    void rekey();
    std::vector<ElementIterator> elementsOnSide(bool side);

    ElementMap elements_;
    std::shared_ptr<PanoramicLine> line_;
    Vexa::Plane<double> dividePlane_;
    bool changed_ = false;
};
