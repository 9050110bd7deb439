#include "planning/io/PlanningFile.h"
#include "dicom/io/DicomCharacterSet.h"

#include "planning/io/saving/FolderHandle.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"

#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace {

const char* const patientGroup = "Patient";
const char* const planningGroup = "Planningdata";
const char* const imageDataGroup = "ImageData";
const char* const surfaceGroup = "Surface";
const char* const implantGroup = "Implant";
const char* const lineGroup = "PanoramicLine";
const char* const nerveGroup = "Nerve";
const char* const markerGroup = "Marker";
const char* const slicesGroup = "Slices";

// Counts beyond this are damage, not plannings: no series, implant list or nerve gets near.
constexpr long maximumCount = 1000000;

std::string number(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string numbers(const std::vector<double>& values)
{
    std::string text;
    for (double value : values) {
        if (!text.empty())
            text += ' ';
        text += number(value);
    }
    return text;
}

std::string vectorText(const Vexa::Vector3D& v)
{
    return numbers({v.x, v.y, v.z});
}

// A value as the ini file can hold it: line breaks become blanks, and the text is UTF-8.
std::string storable(const std::string& value)
{
    const std::string text = Vexa::DicomCharacterSet::utf8OrLatin1(value);
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            result += ' ';
        } else {
            result += text[i];
        }
    }
    return result;
}

// from_chars without the leading "+" it does not take (as implant descriptions are read).
template<class T>
std::from_chars_result readNumber(const char* begin, const char* end, T& value)
{
    if (end - begin > 1 && *begin == '+' && (std::isdigit(static_cast<unsigned char>(begin[1])) || begin[1] == '.'))
        ++begin;
    return std::from_chars(begin, end, value);
}

const char* const allGroups[] = {patientGroup, planningGroup, imageDataGroup, surfaceGroup, implantGroup,
                                 lineGroup,    nerveGroup,    markerGroup,    slicesGroup};

// The ini reader matches group names exactly: a group written in another case would be passed
// over, and the planning would load without (say) its implants.
void checkGroupNames(const std::string& content, const std::string& file)
{
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t\xEF\xBB\xBF");
        const auto close = line.find(']');
        if (first == std::string::npos || line[first] != '[' || close == std::string::npos || close < first)
            continue;
        const std::string name = line.substr(first + 1, close - first - 1);
        for (const char* group : allGroups)
            if (name != group && QString::fromStdString(name).compare(group, Qt::CaseInsensitive) == 0)
                throw std::runtime_error("The planning file " + file + " names the group [" + name + "]; it must be [" +
                                         group + "].");
    }
}

// Control characters other than the blanks of a text: a file holding them is no ini text (a
// damaged or foreign file), whatever lines the ini reader might find in it.
bool isBinary(const std::string& content)
{
    return std::any_of(content.begin(), content.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' && byte != '\v') ||
               byte == 0x7F;
    });
}

// A version as planning files carry it: numbers parted by dots, possibly between letters
// ("2.0.3", "1.8", the study file's "P100.0.0").
bool isVersionText(const std::string& text)
{
    static const QRegularExpression version("^[A-Za-z]*[0-9]+(\\.[0-9]+){0,3}[A-Za-z]*$");
    return version.match(QString::fromStdString(text)).hasMatch();
}

// Reads values of one file; every failure names the file, the group and the key.
class ValueReader
{
public:
    ValueReader(const Vexa::IniFileManager& ini, std::string file) : ini_(ini), file_(std::move(file)) {}

    bool has(const std::string& group, const std::string& key) const
    {
        static const std::string absent = "\x01";
        return ini_.getValue(group, key, absent) != absent;
    }

    std::string text(const std::string& group, const std::string& key) const
    {
        return ini_.getValue(group, key, std::string());
    }

    std::string requiredText(const std::string& group, const std::string& key) const
    {
        if (!has(group, key))
            fail("misses the key \"" + key + "\" in [" + group + "]");
        return text(group, key);
    }

    // A file name inside the planning folder; empty only when allowed.
    std::string fileName(const std::string& group, const std::string& key, bool required, bool mayBeEmpty) const
    {
        const std::string name = required ? requiredText(group, key) : text(group, key);
        if (name.empty() ? !mayBeEmpty : !PlanningFile::staysInFolder(name))
            invalid(group, key);
        return name;
    }

    // The blank-separated numbers of a value; exactly `count` of them.
    std::vector<double> doubles(const std::string& group, const std::string& key, std::size_t count) const
    {
        const std::string value = requiredText(group, key);
        std::vector<double> result;
        const char* p = value.data();
        const char* end = p + value.size();
        while (true) {
            while (p != end && (*p == ' ' || *p == '\t'))
                ++p;
            if (p == end)
                break;
            double d = 0.0;
            const auto [next, ec] = readNumber(p, end, d);
            if (ec != std::errc() || !std::isfinite(d) || (next != end && *next != ' ' && *next != '\t'))
                invalid(group, key);
            result.push_back(d);
            p = next;
        }
        if (result.size() != count)
            invalid(group, key);
        return result;
    }

    double requiredDouble(const std::string& group, const std::string& key) const
    {
        return doubles(group, key, 1)[0];
    }

    std::optional<double> optionalDouble(const std::string& group, const std::string& key) const
    {
        if (!has(group, key))
            return std::nullopt;
        return requiredDouble(group, key);
    }

    long requiredInteger(const std::string& group, const std::string& key, long minimum, long maximum) const
    {
        const std::string value = requiredText(group, key);
        long result = 0;
        const auto [next, ec] = readNumber(value.data(), value.data() + value.size(), result);
        if (value.empty() || ec != std::errc() || next != value.data() + value.size() || result < minimum ||
            result > maximum)
            invalid(group, key);
        return result;
    }

    std::optional<long> optionalInteger(const std::string& group, const std::string& key, long minimum,
                                        long maximum) const
    {
        if (!has(group, key))
            return std::nullopt;
        return requiredInteger(group, key, minimum, maximum);
    }

    Vexa::Vector3D vector(const std::string& group, const std::string& key) const
    {
        const std::vector<double> v = doubles(group, key, 3);
        return Vexa::Vector3D(v[0], v[1], v[2]);
    }

    [[noreturn]] void invalid(const std::string& group, const std::string& key) const
    {
        fail("holds an invalid value of \"" + key + "\" in [" + group + "]");
    }

    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error("The planning file " + file_ + " " + what + ".");
    }

private:
    const Vexa::IniFileManager& ini_;
    std::string file_;
};

}

std::string PlanningFile::imageGroupFor(const Vexa::Version& version) try
{
    return version >= Vexa::getImageDataGroupVersion() ? imageDataGroup : planningGroup;
}
VEXA_RETHROW

bool PlanningFile::staysInFolder(const std::string& name)
{
    const std::filesystem::path path(name);
    if (name.empty() || path.is_absolute())
        return false;
    for (const std::filesystem::path& part : path)
        if (part == "..")
            return false;
    return true;
}

bool PlanningFile::isFolderName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > 249)
        return false;
    for (const unsigned char c : name)
        if (c == '/' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::vector<std::string> PlanningFile::ownFiles(const std::string& folder) const try
{
    // A description that is not there names nothing further; one that cannot be read is no answer.
    const FolderHandle in = FolderHandle::open(folder, true);
    const auto files = ownFiles([&in](const std::string& description) { return in.readBelow(description); });
    if (!files.ok())
        throw std::runtime_error("The implant descriptions of the planning in " + folder + " cannot be read: " +
                                 failedOn(files, folder + " could not be read") + " (" + reasonOf(files.error()) + ").");
    return *files;
}
VEXA_RETHROW

Answer<std::vector<std::string>> PlanningFile::ownFiles(const DescriptionReader& readDescription) const try
{
    namespace fs = std::filesystem;
    std::vector<std::string> files(dicomFiles);
    if (!surfaceFile.empty())
        files.push_back(surfaceFile);
    for (const Implant& implant : implants) {
        files.push_back(implant.file);
        // As the save copies a description: its surface, the picture it names and the one
        // named after it.
        const fs::path description(implant.file), place = description.parent_path();
        std::vector<std::string> named{description.stem().string() + ".bmp"};
        if (staysInFolder(implant.file)) {
            const auto text = readDescription(implant.file);
            if (!text.ok())
                return text.failure();
            if (*text) {
                const Vexa::IniFileManager ini(implant.file, **text);
                named.push_back(ini.getValue("Implantdata", "surfacefile", std::string()));
                named.push_back(ini.getValue("Implantdata", "imagefile", std::string()));
            }
        }
        for (const std::string& name : named)
            if (staysInFolder(name))
                files.push_back((place / name).lexically_normal().generic_string());
    }
    std::erase_if(files, [](const std::string& name) { return !staysInFolder(name); });
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    return files;
}
VEXA_RETHROW

PlanningFile PlanningFile::read(const std::string& file) try
{
    std::string content;
    {
        // The ini reader takes an unreadable file for an empty one.
        std::error_code error;
        std::ifstream in(file, std::ios::binary);
        if (!std::filesystem::is_regular_file(file, error) || !in)
            throw std::runtime_error("The planning file " + file + " cannot be read.");
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            throw std::runtime_error("The planning file " + file + " cannot be read.");
    }
    return parse(content, file);
}
VEXA_RETHROW

PlanningFile PlanningFile::parse(const std::string& content, const std::string& file) try
{
    // What is wrong with a file that is no planning at all is told as such, rather than as the
    // first key it lacks.
    if (content.find_first_not_of(" \t\r\n\f\v") == std::string::npos)
        throw std::runtime_error("The planning file " + file + " is empty.");
    if (isBinary(content))
        throw std::runtime_error("The planning file " + file + " holds binary data, not the text of a planning.");
    checkGroupNames(content, file);
    const Vexa::IniFileManager ini(file, content);
    const ValueReader in(ini, file);
    if (!ini.isGroupExisting(planningGroup))
        in.fail("holds no group [" + std::string(planningGroup) + "]: it is no planning");
    PlanningFile result;

    // Plannings saved before names were turned into UTF-8 hold a Latin-1 name's raw bytes.
    const auto patientText = [&](const char* key) {
        return Vexa::DicomCharacterSet::utf8OrLatin1(in.text(patientGroup, key));
    };
    result.patientName = patientText("name");
    result.birthday = patientText("birthday");
    result.sex = patientText("sex");
    result.patientId = patientText("id");

    const std::string version = in.text(planningGroup, "version");
    if (!version.empty() && !isVersionText(version))
        in.fail("holds an invalid value of \"version\" in [" + std::string(planningGroup) + "]: \"" + version +
                "\" is no version number");
    result.version = Vexa::Version(version);
    if (result.version > Vexa::getProgramVersion())
        in.fail("was saved by a newer program version (" + result.version.toString(".") + ")");
    result.origin = in.text(planningGroup, "origin");
    // Locks and searches are named after it: a path there would reach outside the patient folder.
    if (!result.origin.empty() && !isFolderName(result.origin))
        in.invalid(planningGroup, "origin");
    result.lastModified = in.text(planningGroup, "lastModified");
    result.jaw = int(in.optionalInteger(planningGroup, "implantregion", 0, 2).value_or(0));

    const std::string imageGroup = imageGroupFor(result.version);
    result.imageDevice = in.text(imageGroup, "imageDevice");
    if (const auto count = in.optionalInteger(imageGroup, "numberOfDicomFiles", 1, maximumCount)) {
        for (long i = 0; i < *count; ++i) {
            result.dicomFiles.push_back(in.fileName(imageGroup, "dicomFile" + std::to_string(i), true, false));
        }
    } else {
        // Files without a count: the names up to the first gap.
        for (long i = 0; i < maximumCount; ++i) {
            const std::string name = in.fileName(imageGroup, "dicomFile" + std::to_string(i), false, true);
            if (name.empty())
                break;
            result.dicomFiles.push_back(name);
        }
    }
    if (result.dicomFiles.empty())
        in.fail("names no DICOM files (key \"dicomFile0\" in [" + imageGroup + "])");
    const auto voxelValue = [&](const char* key) -> std::optional<int> {
        if (const auto value = in.optionalInteger(imageGroup, key, 0, 65535))
            return int(*value);
        return std::nullopt;
    };
    result.minVoxelValue = voxelValue("minVoxelValue");
    result.midVoxelValue = voxelValue("midVoxelValue");
    result.maxVoxelValue = voxelValue("maxVoxelValue");

    result.surfaceFile = in.fileName(surfaceGroup, "surfaceFile", false, true);

    const long implants = in.optionalInteger(implantGroup, "implant", 0, maximumCount).value_or(0);
    for (long i = 0; i < implants; ++i) {
        const std::string n = std::to_string(i);
        Implant implant;
        implant.file = in.fileName(implantGroup, "file" + n, true, false);
        implant.group = unsigned(in.requiredInteger(implantGroup, "group" + n, 0, maximumCount));
        const std::vector<double> m = in.doubles(implantGroup, "transform" + n, 16);
        // Row by row, as the matrix prints itself.
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                implant.transform[row + 4 * column] = m[std::size_t(4 * row + column)];
        result.implants.push_back(implant);
    }

    const long corners = in.optionalInteger(lineGroup, "corners", 0, maximumCount).value_or(0);
    for (long i = 0; i < corners; ++i)
        result.corners.push_back(in.vector(lineGroup, "corner" + std::to_string(i)));

    if (in.has(nerveGroup, "dividePlane")) {
        const std::vector<double> p = in.doubles(nerveGroup, "dividePlane", 6);
        const Vexa::Vector3D normal(p[3], p[4], p[5]);
        if (normal.length() == 0.0)
            in.invalid(nerveGroup, "dividePlane");
        result.dividePlane = Vexa::Plane<double>(Vexa::Vector3D(p[0], p[1], p[2]), normal);
    }
    const long elements = in.optionalInteger(nerveGroup, "elements", 0, maximumCount).value_or(0);
    for (long i = 0; i < elements; ++i) {
        const std::string e = "element" + std::to_string(i);
        NerveElement element;
        // Elements without a type come from the old nerve format.
        element.type = int(in.optionalInteger(nerveGroup, e + "type", 0, 1).value_or(0));
        const long points = in.requiredInteger(nerveGroup, e + "points", 0, maximumCount);
        for (long j = 0; j < points; ++j) {
            const std::string key = e + "point" + std::to_string(j);
            const std::vector<double> v = in.doubles(nerveGroup, key, 5);
            if (!(v[3] > 0.0))
                in.invalid(nerveGroup, key);
            element.points.push_back({Vexa::Vector3D(v[0], v[1], v[2]), v[3], v[4]});
        }
        result.nerveElements.push_back(std::move(element));
    }

    const long markers = in.optionalInteger(markerGroup, "markers", 0, maximumCount).value_or(0);
    for (long i = 0; i < markers; ++i)
        result.markers.push_back(in.vector(markerGroup, "marker" + std::to_string(i)));
    result.markersDetected = in.optionalInteger(markerGroup, "detected", 0, 1).value_or(0) != 0;
    result.markerDetectionMethod = int(in.optionalInteger(markerGroup, "method", 0, 2).value_or(0));
    result.markerDetectionDone = in.optionalInteger(markerGroup, "detectionDone", 0, 1).value_or(0) != 0;

    result.transversalPosition = in.optionalDouble(slicesGroup, "transversal");
    result.coronalPosition = in.optionalDouble(slicesGroup, "coronal");
    result.sagittalPosition = in.optionalDouble(slicesGroup, "sagittal");
    return result;
}
VEXA_RETHROW

void PlanningFile::write(const std::string& file) const try
{
    Vexa::AtomicFile::writeFile(file, text());
}
VEXA_RETHROW

std::string PlanningFile::text() const try
{
    Vexa::IniFileManager ini("planning file", Vexa::IniFileManager::InMemory);

    ini.setValue(patientGroup, "name", storable(patientName));
    ini.setValue(patientGroup, "birthday", storable(birthday));
    ini.setValue(patientGroup, "sex", storable(sex));
    ini.setValue(patientGroup, "id", storable(patientId));

    ini.setValue(planningGroup, "version", version.toString("."));
    ini.setValue(planningGroup, "lastModified", lastModified);
    ini.setValue(planningGroup, "implantregion", jaw);
    if (!origin.empty())
        ini.setValue(planningGroup, "origin", storable(origin));

    ini.setValue(imageDataGroup, "imageDevice", storable(imageDevice));
    ini.setValue(imageDataGroup, "numberOfDicomFiles", dicomFiles.size());
    for (std::size_t i = 0; i < dicomFiles.size(); ++i)
        ini.setValue(imageDataGroup, "dicomFile" + std::to_string(i), dicomFiles[i]);
    if (minVoxelValue)
        ini.setValue(imageDataGroup, "minVoxelValue", *minVoxelValue);
    if (midVoxelValue)
        ini.setValue(imageDataGroup, "midVoxelValue", *midVoxelValue);
    if (maxVoxelValue)
        ini.setValue(imageDataGroup, "maxVoxelValue", *maxVoxelValue);

    ini.setValue(surfaceGroup, "surfaceFile", surfaceFile);

    ini.setValue(implantGroup, "implant", implants.size());
    for (std::size_t i = 0; i < implants.size(); ++i) {
        const std::string n = std::to_string(i);
        ini.setValue(implantGroup, "file" + n, implants[i].file);
        ini.setValue(implantGroup, "group" + n, implants[i].group);
        std::vector<double> m;
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column)
                m.push_back(implants[i].transform[row + 4 * column]);
        ini.setValue(implantGroup, "transform" + n, numbers(m));
    }

    ini.setValue(lineGroup, "corners", corners.size());
    for (std::size_t i = 0; i < corners.size(); ++i)
        ini.setValue(lineGroup, "corner" + std::to_string(i), vectorText(corners[i]));

    if (dividePlane) {
        const Vexa::Vector3D& p = dividePlane->getPoint();
        const Vexa::Vector3D& n = dividePlane->getNormal();
        ini.setValue(nerveGroup, "dividePlane", numbers({p.x, p.y, p.z, n.x, n.y, n.z}));
    }
    ini.setValue(nerveGroup, "elements", nerveElements.size());
    for (std::size_t i = 0; i < nerveElements.size(); ++i) {
        const std::string e = "element" + std::to_string(i);
        ini.setValue(nerveGroup, e + "type", nerveElements[i].type);
        ini.setValue(nerveGroup, e + "points", nerveElements[i].points.size());
        for (std::size_t j = 0; j < nerveElements[i].points.size(); ++j) {
            const NervePoint& point = nerveElements[i].points[j];
            ini.setValue(nerveGroup, e + "point" + std::to_string(j),
                         numbers({point.position.x, point.position.y, point.position.z, point.diameter,
                                  point.offset}));
        }
    }

    ini.setValue(markerGroup, "markers", markers.size());
    ini.setValue(markerGroup, "detected", markersDetected);
    ini.setValue(markerGroup, "method", markerDetectionMethod);
    ini.setValue(markerGroup, "detectionDone", markerDetectionDone);
    for (std::size_t i = 0; i < markers.size(); ++i)
        ini.setValue(markerGroup, "marker" + std::to_string(i), vectorText(markers[i]));

    if (transversalPosition)
        ini.setValue(slicesGroup, "transversal", *transversalPosition);
    if (coronalPosition)
        ini.setValue(slicesGroup, "coronal", *coronalPosition);
    if (sagittalPosition)
        ini.setValue(slicesGroup, "sagittal", *sagittalPosition);
    return ini.text();
}
VEXA_RETHROW
