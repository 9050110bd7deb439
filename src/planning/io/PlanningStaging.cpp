#include "planning/io/PlanningStaging.h"

#include "planning/io/PlanningFile.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <cerrno>
#include <set>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void writeFailed(const std::string& shown, int error)
{
    throw std::runtime_error(Vexa::AtomicFile::failureText(shown, error));
}

}

std::string PlanningStaging::shown(const fs::path& relative)
{
    return "the new planning's " + relative.generic_string();
}

std::string PlanningStaging::asShown(std::string text, const std::string& staging)
{
    if (staging.empty())
        return text;
    for (const auto& [from, to] : {std::pair{staging + "/", std::string("the new planning's ")},
                                   std::pair{staging, std::string("the new planning folder")}})
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    return text;
}

void PlanningStaging::makeFolder(const fs::path& relative) const
{
    std::error_code error;
    fs::create_directories(at(relative), error);
    if (error || !fs::is_directory(at(relative)))
        writeFailed(shown(relative), error ? error.value() : ENOTDIR);
}

void PlanningStaging::placeFile(const fs::path& from, const fs::path& relative, bool mayLink, const std::string& what) const
{
    const fs::path to = at(relative);
    std::error_code error;
    if (mayLink) {
        fs::create_hard_link(from, to, error);
        if (!error)
            return;
        error.clear();
    }
    if (!fs::is_regular_file(from, error))
        throw std::runtime_error("Could not copy the " + what + " " + from.string() + ": the file does not exist.");
    makeFolder(relative.parent_path());
    // Checked to the last byte on the disk: a copy that a full disk cut short is an error.
    try {
        Vexa::AtomicFile::copyFile(from.string(), to.string());
    } catch (const Vexa::WriteError& e) {
        writeFailed(shown(relative), e.error());
    } catch (const std::exception& e) {
        throw std::runtime_error("Could not copy the " + what + " " + from.string() + ": " + e.what());
    }
}

void PlanningStaging::failedToWrite(const fs::path& relative, const std::exception& e) const
{
    if (const auto* write = dynamic_cast<const Vexa::WriteError*>(&e))
        writeFailed(shown(relative), write->error());
    throw std::runtime_error("Could not write " + shown(relative) + ": " + asShown(e.what(), staging_.string()));
}

void PlanningStaging::copyImplantDescription(const std::string& file, const fs::path& relative) const
{
    const fs::path description(file);
    placeFile(description, relative / description.filename(), false, "implant description");
    const Vexa::IniFileManager ini(file, Vexa::IniFileManager::ReadOnly);
    const fs::path source = description.parent_path();
    const std::string surface = ini.getValue("Implantdata", "surfacefile", std::string());
    if (!PlanningFile::staysInFolder(surface))
        throw std::runtime_error("Could not copy the implant description " + file + ": invalid value of \"surfacefile\".");
    placeFile(source / surface, relative / surface, false, "implant surface");
    // Pictures are optional: the picture named after the description and the one it names.
    std::set<std::string> pictures{description.stem().string() + ".bmp"};
    const std::string image = ini.getValue("Implantdata", "imagefile", std::string());
    if (PlanningFile::staysInFolder(image))
        pictures.insert(image);
    for (const std::string& picture : pictures) {
        std::error_code error;
        if (fs::is_regular_file(source / picture, error))
            placeFile(source / picture, relative / picture, false, "implant picture");
    }
}

void PlanningStaging::verify(const fs::path& relative, const PlanningFile& written,
                             const std::shared_ptr<Vexa::IndexedTriangleMesh>& surface) const
{
    const auto failed = [&](const std::string& reason) {
        throw std::runtime_error("The new planning's planning file " + relative.generic_string() +
                                 " did not read back as written: " + asShown(reason, staging_.string()));
    };
    PlanningFile back;
    try {
        back = PlanningFile::read(at(relative).string());
    } catch (const std::exception& e) {
        failed(e.what());
    }
    bool same = back.dicomFiles == written.dicomFiles && back.surfaceFile == written.surfaceFile &&
                back.origin == written.origin && back.jaw == written.jaw &&
                back.implants.size() == written.implants.size() && back.corners.size() == written.corners.size() &&
                back.markers.size() == written.markers.size() && back.nerveElements.size() == written.nerveElements.size();
    for (std::size_t i = 0; same && i < back.implants.size(); ++i)
        same = back.implants[i].file == written.implants[i].file && back.implants[i].group == written.implants[i].group;
    if (!same)
        failed("its contents differ.");
    std::error_code error;
    for (const std::string& name : back.dicomFiles)
        if (!fs::is_regular_file(at(name), error))
            failed("the DICOM file " + name + " is missing.");
    for (const auto& implant : back.implants)
        if (!fs::is_regular_file(at(implant.file), error))
            failed("the implant description " + implant.file + " is missing.");
    if (!back.surfaceFile.empty()) {
        const auto read = Vexa::readSFFBinFile(at(back.surfaceFile).string());
        if (!read || !surface || read->getTriangleCount() != surface->getTriangleCount())
            failed("the 3D model " + back.surfaceFile + " does not read back.");
    }
}
