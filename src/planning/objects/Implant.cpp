#include "planning/objects/Implant.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/math/Scalar.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

using Vexa::Vector3D;

namespace {

const char* const groupName = "Implantdata";

// Numbers in descriptions use the C locale whatever the process locale is.
double readNumber(const Vexa::IniFileManager& ini, const std::string& key, const std::string& file, bool positive)
{
    const std::string text = ini.getValue(groupName, key, std::string());
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    double value = 0.0;
    bool ok = first != std::string::npos;
    if (ok)
    {
        const char* begin = text.data() + first;
        const char* end = text.data() + last + 1;
        // A leading plus sign is an ordinary way to write a number; from_chars does not take it.
        if (end - begin > 1 && *begin == '+' && (std::isdigit(static_cast<unsigned char>(begin[1])) || begin[1] == '.'))
            ++begin;
        const auto [ptr, ec] = std::from_chars(begin, end, value);
        ok = ec == std::errc() && ptr == end && std::isfinite(value) && (positive ? value > 0.0 : value >= 0.0);
    }
    if (!ok)
        throw std::runtime_error("invalid value of \"" + key + "\" in implant description " + file);
    return value;
}

// The surface must lie in or below the description's folder: plannings carry descriptions
// from elsewhere, and a path out of the folder would read an arbitrary file.
void checkSurfaceName(const std::string& name, const std::string& file)
{
    bool escapes = name.empty() || name.front() == '/';
    std::size_t start = 0;
    while (!escapes && start <= name.size())
    {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        if (name.compare(start, slash - start, "..") == 0 && slash - start == 2)
            escapes = true;
        start = slash + 1;
    }
    if (escapes)
        throw std::runtime_error("invalid value of \"surfacefile\" in implant description " + file);
}

// Why a surface file gave no surface: a missing file is mended by copying it back, a damaged one
// by replacing it.
std::string surfaceFault(const std::string& path)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        return "The file is missing.";
    if (!std::filesystem::is_regular_file(status) || !std::ifstream(path, std::ios::binary))
        return "The file cannot be read.";
    return "The file is damaged: it holds no SFF or STL surface.";
}

Vector3D unitOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 ? v / length : Vector3D();
}

}

std::shared_ptr<Implant> Implant::createFromFile(const Vexa::Matrix44<double>& transform, const unsigned int group,
                                                 const std::string& file) try
{
    const Vexa::IniFileManager ini(file, 3);
    if (!ini.isGroupExisting(groupName))
        return nullptr;
    const std::string surfaceName = ini.getValue(groupName, "surfacefile", std::string());
    checkSurfaceName(surfaceName, file);
    const std::string surfacePath = ini.getPath() + surfaceName;

    std::shared_ptr<Vexa::IndexedTriangleMesh> surface = Vexa::readSFFBinFile(surfacePath);
    if (!surface)
        surface = Vexa::readSTLFile(surfacePath, false);
    // The STL reader answers a missing or unreadable file with an empty mesh; an implant
    // without a surface cannot be drawn or measured, so that is the same failure.
    if (!surface || surface->getTriangleCount() == 0)
        throw std::runtime_error("Error loading implant surface\n" + surfacePath + "\n" + surfaceFault(surfacePath));
    surface->setUseFloatArrays(true);

    const double shoulder = readNumber(ini, "shoulder", file, false);
    const double diameter = readNumber(ini, "diameter", file, true);
    const double length = readNumber(ini, "length", file, true);
    const std::string comment = ini.getValue(groupName, "comment", std::string());
    const std::string reference = ini.getValue(groupName, "reference", std::string());
    const std::string company = ini.getValue(groupName, "company", std::string());
    const std::string name = ini.getValue(groupName, "name", std::string());
    return std::make_shared<Implant>(surface, name, company, reference, comment, length, diameter, shoulder, file,
                                     group, transform);
}
VEXA_RETHROW

Implant::Implant(std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceModel, std::string name, std::string company,
                 std::string reference, std::string comment, double length, double diameter, double shoulder,
                 std::string fileName, unsigned group, const Vexa::Matrix44<double>& transform)
    : surfaceModel_(std::move(surfaceModel)), name_(std::move(name)), company_(std::move(company)),
      reference_(std::move(reference)), comment_(std::move(comment)), length_(length), diameter_(diameter),
      shoulder_(shoulder), fileName_(std::move(fileName)), group_(group), transform_(transform)
{
}

Implant::~Implant() = default;

std::string Implant::getName() const try
{
    return name_;
}
VEXA_RETHROW

void Implant::setName(const std::string& name) try
{
    name_ = name;
}
VEXA_RETHROW

std::string Implant::getCompany() const try
{
    return company_;
}
VEXA_RETHROW

void Implant::setCompany(const std::string& company) try
{
    company_ = company;
}
VEXA_RETHROW

std::shared_ptr<Vexa::IndexedTriangleMesh> Implant::getSurfaceModel() const
{
    return surfaceModel_;
}

void Implant::setSurfaceModel(std::shared_ptr<Vexa::IndexedTriangleMesh> surfaceModel)
{
    surfaceModel_ = std::move(surfaceModel);
}

const std::string Implant::getFilename() const try
{
    return fileName_;
}
VEXA_RETHROW

void Implant::setPosition(const Vector3D& position)
{
    transform_[12] = position.x;
    transform_[13] = position.y;
    transform_[14] = position.z;
}

void Implant::setRotation(const Vexa::Matrix33& rotation)
{
    for (int column = 0; column < 3; ++column)
        for (int row = 0; row < 3; ++row)
            transform_[4 * column + row] = rotation[3 * column + row];
}

Vector3D Implant::getRotationPoint() const try
{
    return transform_.getTranslation() + transform_.getColumn(2) * length_;
}
VEXA_RETHROW

double Implant::getDistance(const Vector3D& point) const try
{
    // The axis is taken as a unit vector even when the stored rotation has drifted.
    const Vector3D origin = transform_.getTranslation();
    const Vector3D axis = unitOrZero(transform_.getColumn(2));
    const Vector3D nearest = origin + axis * axis.dot(point - origin);
    return (point - nearest).length();
}
VEXA_RETHROW

double Implant::getAngleBetween(const Vector3D& direction) const try
{
    // Both normalised and the cosine clamped: a drifted axis must not turn into NaN.
    const double cosine =
        std::clamp(unitOrZero(transform_.getColumn(2)).dot(unitOrZero(direction)), -1.0, 1.0);
    return Vexa::radToDeg(std::abs(std::acos(cosine)));
}
VEXA_RETHROW
