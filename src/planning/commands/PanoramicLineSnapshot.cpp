#include "planning/commands/PanoramicLineSnapshot.h"

#include "vexa/core/ExceptionStack.h"

PanoramicLineSnapshot PanoramicLineSnapshot::take(PanoramicLine& line) try
{
    line.restoreIgnoredCorners();
    PanoramicLineSnapshot snapshot;
    for (const PanoramicLine::CornerPtr& corner : line.getCornerPoints())
        snapshot.corners_.emplace_back(corner, corner->getPosition());
    snapshot.taken_ = true;
    return snapshot;
}
VEXA_RETHROW

void PanoramicLineSnapshot::restore(PanoramicLine& line) const try
{
    if (!taken_)
        return;
    PanoramicLine::CornerVector corners;
    corners.reserve(corners_.size());
    for (const auto& [corner, position] : corners_)
    {
        corner->setPosition(position);
        corner->moving() = false;
        corners.push_back(corner);
    }
    line.setCornerPoints(corners);
}
VEXA_RETHROW
