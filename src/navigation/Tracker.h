#pragma once
// One tracked tool: type number, marker points in the tool's frame (mm), optional marker ids,
// a flag (types 2 and 9) and the latest sample the camera measured for it.
//
// The camera thread writes the sample while the timer thread reads it: both go through a
// small lock of the tracker's own, and readers get a whole copy, either the previous sample
// or the new one.
#include "navigation/TrackerData.h"
#include "vexa/math/Vector3.h"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace Vexa {

class Tracker
{
public:
    using PointIterator = std::vector<Vector3D>::const_iterator;
    using IdIterator = std::vector<int>::const_iterator;

    // The built-in tool of that type (2 to 12); null for any other type.
    static std::shared_ptr<Tracker> create(int type);

    Tracker(const std::vector<Vector3D>& points, bool flag, int type);
    Tracker(const std::vector<Vector3D>& points, bool flag, const std::vector<int>& ids, int type);
    virtual ~Tracker() = default;

    // A copy of the current sample.
    TrackerData getTrackerData() const;
    // Takes a sample the camera delivered; it gets the next delivery number of the process
    // (TrackerData::getDelivery), so that a reader can tell a new delivery of unchanged values
    // from the same delivery read twice.
    void setTrackerData(const TrackerData& sample);

    bool getFlag() const { return flag_; }
    int getType() const { return type_; }
    unsigned getNumberOfPoints() const { return static_cast<unsigned>(points_.size()); }
    std::pair<PointIterator, PointIterator> getPoints() const { return {points_.begin(), points_.end()}; }
    std::pair<IdIterator, IdIterator> getIds() const { return {ids_.begin(), ids_.end()}; }

private:
    mutable std::mutex mutex_;
    TrackerData sample_;
    const bool flag_;
    const std::vector<Vector3D> points_;
    const std::vector<int> ids_;
    const int type_;
};

}
