#include "planning/log/DrillPositions.h"

#include "planning/log/DrillLog.h"

#include <cmath>

bool DrillPositions::addDrillDifference(const DrillDifference& r, bool overwrite)
{
    const float key = static_cast<float>(DrillLog::roundToHalfStep(static_cast<float>(r.depth)));
    if (std::isnan(key))
        return false;
    const bool accepted = table_.empty() ? key <= limit_ : key < table_.rbegin()->first;
    if (!accepted)
        return false;
    auto it = table_.find(key);
    if (it == table_.end()) {
        table_.emplace(key, r);
        return true;
    }
    if (!overwrite)
        return false;
    it->second = r;
    return true;
}

std::ostream& operator<<(std::ostream& out, const DrillPositions& positions)
{
    out << positions.size() << '\n';
    for (const auto& [key, record] : positions.entries())
        out << key << '\t' << record << '\n';
    return out;
}
