#pragma once
// The curve drawn along the dental arch: a polyline of corners in the plane y = 0 of its own
// coordinates, with a border point on either side of every corner and one vertical slice per
// segment. The panoramic view unrolls the band around it; the cross sections, the nerve and
// the implant sections are measured along it.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Vector3.h"

#include <list>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace Vexa {
class Slice;
}

class PanoramicLine
{
public:
    class Corner
    {
    public:
        Corner() = default;
        explicit Corner(const Vexa::Vector3D& position) : position_(position) {}

        static std::shared_ptr<Corner> create(const Vexa::Vector3D& position);
        static std::shared_ptr<Corner> create(const Corner& other);

        // All in line coordinates.
        const Vexa::Vector3D& getUpperPoint() const { return upper_; }
        const Vexa::Vector3D& getPosition() const { return position_; }
        const Vexa::Vector3D& getLowerPoint() const { return lower_; }
        void setPosition(const Vexa::Vector3D& position)
        {
            position_ = position;
            needsUpdate_ = true;
        }
        void setUpperLowerPoints(const Vexa::Vector3D& upper, const Vexa::Vector3D& lower)
        {
            upper_ = upper;
            lower_ = lower;
            needsUpdate_ = false;
        }
        bool needsUpdate() const { return needsUpdate_; }
        void setNeedsUpdate(bool needsUpdate) { needsUpdate_ = needsUpdate; }
        bool& moving() { return moving_; }
        bool moving() const { return moving_; }

    private:
        Vexa::Vector3D upper_;
        Vexa::Vector3D position_;
        Vexa::Vector3D lower_;
        bool needsUpdate_ = true;
        bool moving_ = true;
    };

    using CornerPtr = std::shared_ptr<Corner>;
    using CornerList = std::list<CornerPtr>;
    using CornerIterator = CornerList::iterator;
    using ConstCornerIterator = CornerList::const_iterator;
    using CornerVector = std::vector<CornerPtr>;

    static std::shared_ptr<PanoramicLine> create(const Vexa::Matrix44<double>& transform, double halfWidth,
                                                 double segmentDistance, double pickTolerance);
    PanoramicLine(const Vexa::Matrix44<double>& transform, double halfWidth, double segmentDistance,
                  double pickTolerance);

    CornerIterator cornersBegin() { return corners_.begin(); }
    CornerIterator cornersEnd() { return corners_.end(); }
    ConstCornerIterator cornersBegin() const { return corners_.begin(); }
    ConstCornerIterator cornersEnd() const { return corners_.end(); }
    unsigned numberOfCorners() const { return static_cast<unsigned>(corners_.size()); }
    const std::vector<std::shared_ptr<Vexa::Slice>>& getSlices() const { return slices_; }
    const Vexa::Matrix44<double>& getTransform() const { return transform_; }
    void setHeight(double height);
    double getHeight() const { return height_; }
    bool hasChanged() const { return changed_; }
    void clearChangedState() { changed_ = false; }
    // Counts every change (saved or not): what was computed against the line compares it.
    unsigned long getChangeCount() const { return changeCount_; }

    // Conversions between world and line coordinates; toLine drops the height (y := 0).
    Vexa::Vector3D toLine(const Vexa::Vector3D& world) const;
    Vexa::Vector3D toWorld(const Vexa::Vector3D& line) const;

    // Editing; points are world points. addPoint returns the corner it made (empty when the
    // point lies too close to an existing corner).
    CornerPtr addPoint(const Vexa::Vector3D& point);
    void setPoints(const std::vector<Vexa::Vector3D>& points);
    void movePoint(CornerIterator corner, const Vexa::Vector3D& point);
    void movePoint(const CornerPtr& corner, const Vexa::Vector3D& point);
    void movePoint(CornerIterator corner);
    void deletePoint(CornerIterator corner);
    void deleteLine();
    void consolidateLine(std::optional<CornerIterator> exception = std::nullopt);
    // Puts back the neighbours that a moved corner took out by coinciding with them.
    void restoreIgnoredCorners();
    CornerVector getCornerPoints() const;
    void setCornerPoints(const CornerVector& corners);

    // Queries.
    std::optional<CornerIterator> getPointAtPos(const Vexa::Vector3D& point, double tolerance,
                                                std::optional<CornerIterator> ignore);
    std::optional<CornerIterator> getPointAtPos(const Vexa::Vector3D& point);
    CornerIterator getIterator(const CornerPtr& corner);
    std::optional<CornerIterator> getMovingCorner();
    std::optional<CornerIterator> nearSegment(const Vexa::Vector3D& linePoint);
    std::pair<ConstCornerIterator, Vexa::Plane<double>> getNearestSectionPlane(const Vexa::Vector3D& point) const;
    std::pair<ConstCornerIterator, double> getOffset(const Vexa::Vector3D& point) const;
    double getOrthogonalDistance(const Vexa::Vector3D& point) const;
    Vexa::Vector3D getWorldPos(double offset) const;
    double getLength() const;
    std::pair<ConstCornerIterator, Vexa::Vector3D> intersects(const Vexa::Plane<double>& plane) const;
    std::vector<Vexa::Vector3D> getBorderCrossingPoints(const Vexa::Vector3D& a, const Vexa::Vector3D& b) const;

    // Two lines by point and (not necessarily unit) direction: 2 parallel (out unchanged),
    // 1 they meet (out the meeting point), 0 skew (out the midpoint of the closest points).
    static int getIntersection(const Vexa::Vector3D& p1, const Vexa::Vector3D& d1, const Vexa::Vector3D& p2,
                               const Vexa::Vector3D& d2, Vexa::Vector3D& out);

private:
    struct IgnoredCorner
    {
        CornerPtr corner;
        Corner saved;
        CornerPtr before; // empty: the end of the list
    };

    void calculateUpperLowerPoints(const CornerIterator& corner);
    void CalcPerpendicularUpperLower(const CornerIterator& corner, const Vexa::Vector3D& direction, double factor);
    void recalculateLinePoints();
    void calcSlices();
    void rememberIgnoredCorner(CornerIterator corner, CornerIterator before);
    Vexa::Vector3D segmentDirection(ConstCornerIterator start) const;
    void markChanged()
    {
        changed_ = true;
        ++changeCount_;
    }

    std::vector<IgnoredCorner> ignored_;
    CornerList corners_;
    std::vector<std::shared_ptr<Vexa::Slice>> slices_;
    double halfWidth_;
    double segmentDistance_;
    double pickTolerance_;
    double height_ = 0.0;
    Vexa::Matrix44<double> transform_;
    Vexa::Matrix44<double> inverse_;
    bool changed_ = false;
    unsigned long changeCount_ = 0;
};
