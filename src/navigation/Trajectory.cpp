#include "navigation/Trajectory.h"

#include "vexa/core/ExceptionStack.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Vexa {

namespace {

constexpr unsigned maxTools = 16;

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        std::size_t end = i;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
            ++end;
        if (end > i)
            result.push_back(line.substr(i, end - i));
        i = end;
    }
    return result;
}

template<class T>
bool parse(const std::string& text, T& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

}

Trajectory Trajectory::readFile(const std::string& file) try
{
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("Trajectory: cannot read " + file);
    return read(in, file);
}
VEXA_RETHROW

Trajectory Trajectory::read(std::istream& in, const std::string& name) try
{
    Trajectory result;
    std::string line;
    unsigned number = 0;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error("Trajectory: " + name + ":" + std::to_string(number) + ": " + what);
    };
    while (std::getline(in, line)) {
        ++number;
        const auto f = fields(line);
        if (f.empty() || f[0][0] == '#')
            continue;
        if (f.size() != 11)
            fail("expected 11 fields (t_ms tool visible qw qx qy qz x y z error), found " + std::to_string(f.size()));
        std::uint32_t time = 0;
        unsigned tool = 0, visible = 0;
        double v[8];
        if (!parse(f[0], time))
            fail("bad time '" + f[0] + "'");
        if (!parse(f[1], tool) || tool >= maxTools)
            fail("bad tool '" + f[1] + "'");
        if (!parse(f[2], visible) || visible > 1)
            fail("bad visible flag '" + f[2] + "' (0 or 1)");
        for (int i = 0; i < 8; ++i)
            if (!parse(f[3 + i], v[i]))
                fail("bad number '" + f[3 + i] + "'");
        if (result.tools_.size() <= tool)
            result.tools_.resize(tool + 1);
        auto& samples = result.tools_[tool];
        if (!samples.empty() && time < samples.back().timeMs)
            fail("time goes back for tool " + std::to_string(tool));
        Sample sample;
        sample.timeMs = time;
        sample.data.setRotation({v[0], v[1], v[2], v[3]});
        sample.data.setTranslation(Vector3D(v[4], v[5], v[6]));
        sample.data.setError(v[7]);
        sample.data.setVisible(visible == 1);
        samples.push_back(std::move(sample));
        result.duration_ = std::max(result.duration_, time);
    }
    if (in.bad())
        throw std::runtime_error("Trajectory: cannot read " + name);
    return result;
}
VEXA_RETHROW

}
