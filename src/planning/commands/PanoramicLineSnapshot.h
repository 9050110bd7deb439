#pragma once
// The corners of a panoramic line, their order and their positions, as one undo step must
// bring them back. The corner objects are kept, so commands that hold a corner still find it.
#include "planning/objects/PanoramicLine.h"

#include <utility>
#include <vector>

class PanoramicLineSnapshot
{
public:
    PanoramicLineSnapshot() = default;
    // Takes the line as it stands, with any neighbour that a dragged corner took out put back.
    static PanoramicLineSnapshot take(PanoramicLine& line);
    // Makes the line hold exactly these corners at these positions; nothing when never taken
    // (a command undone before it ran).
    void restore(PanoramicLine& line) const;
    bool isTaken() const { return taken_; }

private:
    std::vector<std::pair<PanoramicLine::CornerPtr, Vexa::Vector3D>> corners_;
    bool taken_ = false;
};
