#pragma once
// The drill positions of one implant by depth: an ordered table from the record's depth
// brought to the half-millimetre grid to the record, and a limit for the first key.
#include "planning/log/DrillDifference.h"

#include <map>
#include <ostream>

class DrillPositions
{
public:
    using Table = std::map<float, DrillDifference>;

    explicit DrillPositions(float limit = 5.0f) : limit_(limit) {}

    // Adds r under its depth key when the table is empty and the key is at most the limit, or
    // when the key lies below the largest key (single precision; NaN never). An existing key
    // is replaced only with `overwrite`. True when the table changed.
    bool addDrillDifference(const DrillDifference& r, bool overwrite);

    float getLimit() const { return limit_; }
    void setLimit(float limit) { limit_ = limit; }
    const Table& entries() const { return table_; }
    std::size_t size() const { return table_.size(); }

private:
    Table table_;
    float limit_;
};

// The entry count and a line end, then per entry in ascending key order: key, tab, record,
// line end.
std::ostream& operator<<(std::ostream& out, const DrillPositions& positions);
