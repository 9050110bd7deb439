#pragma once
// A recorded or synthetic camera trajectory: text lines "t_ms tool visible qw qx qy qz x y z
// error" (tool 0 the handpiece, 1 the patient locator; translations in mm), blank lines and
// lines starting with '#' ignored. Numbers are read in the C locale. Times of one tool do not
// decrease.
#include "navigation/TrackerData.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Vexa {

class Trajectory
{
public:
    struct Sample
    {
        std::uint32_t timeMs = 0;
        TrackerData data;
    };

    // Throws std::runtime_error "Trajectory: <file>:<line>: <what is wrong>" for a bad line,
    // and "Trajectory: cannot read <file>" when the file cannot be read.
    static Trajectory readFile(const std::string& file);
    static Trajectory read(std::istream& in, const std::string& name);

    unsigned numberOfTools() const { return static_cast<unsigned>(tools_.size()); }
    const std::vector<Sample>& samples(unsigned tool) const { return tools_.at(tool); }
    // Time of the last sample of any tool.
    std::uint32_t duration() const { return duration_; }

private:
    std::vector<std::vector<Sample>> tools_;
    std::uint32_t duration_ = 0;
};

}
