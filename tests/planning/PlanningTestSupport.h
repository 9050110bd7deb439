#pragma once
// Shared set-up of the planning tests: the panoramic line as the Model makes it, and files.
#include "planning/objects/PanoramicLine.h"
#include "vexa/math/Matrix44.h"
#include "common/TestSupport.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace PlanningTest {

using Vexa::Vector3D;

// Line point (x, 0, z) is the world point (x, z, 0).
inline Vexa::Matrix44<double> modelTransform()
{
    return Vexa::Matrix44<double>(Vector3D(1, 0, 0), Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(0, 0, 0));
}

inline std::shared_ptr<PanoramicLine> makeLine()
{
    auto line = PanoramicLine::create(modelTransform(), 12.0, 2.0, 4.0);
    line->setHeight(40.0);
    return line;
}

inline std::vector<Vector3D> worldCorners(const PanoramicLine& line)
{
    std::vector<Vector3D> result;
    for (auto it = line.cornersBegin(); it != line.cornersEnd(); ++it)
        result.push_back(line.toWorld((*it)->getPosition()));
    return result;
}

inline bool isFinite(const Vector3D& v)
{
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

inline std::string readBytes(const std::string& file)
{
    return TestSupport::readFile(file);
}

// Replaces the file (its folder made if missing).
inline void writeText(const std::string& file, const std::string& text)
{
    const auto folder = std::filesystem::path(file).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Every entry below a folder with its bytes ("/" for folders), by relative path.
inline std::map<std::string, std::string> snapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        files[std::filesystem::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? readBytes(entry.path().string()) : "/";
    return files;
}

}
