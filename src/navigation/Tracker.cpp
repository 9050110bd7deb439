#include "navigation/Tracker.h"

#include <atomic>

namespace Vexa {

namespace {

// One count for every tracker of the process: a number never names deliveries of two trackers.
std::atomic<std::uint64_t> deliveries{0};

}

std::shared_ptr<Tracker> Tracker::create(int type)
{
    struct Builtin
    {
        double p[3][2];
        std::vector<int> ids;
        bool flag;
    };
    Builtin b;
    switch (type) {
    case 2: b = {{{100, 0}, {169, 2}, {204, -2}}, {}, true}; break;
    case 3: b = {{{25, 25}, {15, -20}, {-25, 0}}, {5, 21, 37}, false}; break;
    case 4: b = {{{40, 40}, {10, -25}, {-40, 0}}, {17, 49, 1}, false}; break;
    case 5: b = {{{35, 40}, {25, -35}, {-45, 0}}, {}, false}; break;
    case 6:
    case 7:
    case 12: b = {{{0, 0}, {0, 0}, {0, 0}}, {}, false}; break;
    case 8: b = {{{0, -89}, {0, -139}, {0, -194}}, {}, false}; break;
    case 9: b = {{{200, -409}, {0, 0}, {200, 402}}, {9, 25, 41}, true}; break;
    case 10: b = {{{0, 60}, {80, 0}, {-10, -27.5}}, {}, false}; break;
    case 11: b = {{{0, 15}, {80, 0}, {-14.75, -24.75}}, {}, false}; break;
    default: return nullptr;
    }
    std::vector<Vector3D> points;
    for (const auto& p : b.p)
        points.emplace_back(p[0], p[1], 0.0);
    return std::make_shared<Tracker>(points, b.flag, b.ids, type);
}

Tracker::Tracker(const std::vector<Vector3D>& points, bool flag, int type)
    : flag_(flag), points_(points), type_(type)
{
}

Tracker::Tracker(const std::vector<Vector3D>& points, bool flag, const std::vector<int>& ids, int type)
    : flag_(flag), points_(points), ids_(ids), type_(type)
{
}

TrackerData Tracker::getTrackerData() const
{
    std::lock_guard lock(mutex_);
    return sample_;
}

void Tracker::setTrackerData(const TrackerData& sample)
{
    TrackerData copy(sample); // allocate outside the lock
    copy.setDelivery(deliveries.fetch_add(1, std::memory_order_relaxed) + 1);
    std::lock_guard lock(mutex_);
    sample_.swap(copy);
}

}
