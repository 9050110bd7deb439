#include "planning/io/PlanningStaging.h"

#include "planning/io/PlanningFile.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFiles.h"

#include <cerrno>
#include <limits>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void writeFailed(const std::string& shown, int error)
{
    throw std::runtime_error(Vexa::AtomicFile::failureText(shown, error));
}

constexpr std::size_t wholeFile = std::numeric_limits<std::size_t>::max();

}

PlanningStaging::PlanningStaging(fs::path staging)
    : staging_(std::move(staging)), folder_(FolderHandle::open(staging_.string()))
{
    if (!folder_)
        writeFailed("the new planning folder", folder_.error());
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

std::runtime_error PlanningStaging::cannotCopy(const std::string& what, const fs::path& from, int error)
{
    return std::runtime_error("Could not copy the " + what + " " + from.string() + ": " +
                              (error == ENOENT ? std::string("the file does not exist") : reasonOf(error)) + ".");
}

FolderHandle PlanningStaging::makeFolder(const fs::path& relative) const
{
    // Mostly there already: one look then.
    FolderHandle there = folder_.child(relative.string());
    if (there)
        return there;
    if (there.error() != ENOENT)
        writeFailed(shown(relative), there.error());
    FolderHandle folder = folder_.again();
    fs::path made;
    for (const fs::path& part : relative) {
        made /= part;
        const int error = folder ? folder.makeFolder(part.string()).error() : folder.error();
        if (error && error != EEXIST)
            writeFailed(shown(made), error);
        folder = folder.child(part.string());
    }
    if (!folder)
        writeFailed(shown(made), folder.error());
    return folder;
}

bool PlanningStaging::placeFile(const fs::path& from, const fs::path& relative, bool mayLink, const std::string& what,
                                bool optional) const
{
    const auto source = FolderHandle::openPath(from.string());
    const auto status = source.ok() ? source->status() : Answer<struct stat>(source.failure());
    const bool absent = !status.ok() && (status.error() == ENOENT || status.error() == ENOTDIR);
    if (optional && (absent || (status.ok() && !S_ISREG(status->st_mode))))
        return false;
    if (!status.ok())
        throw cannotCopy(what, from, status.error());
    if (!S_ISREG(status->st_mode))
        throw std::runtime_error("Could not copy the " + what + " " + from.string() + ": it is no regular file.");
    const FolderHandle into = makeFolder(relative.parent_path());
    const std::string name = relative.filename().string();
    if (mayLink) {
        // A link the file system does not make here (another file system, links not allowed or
        // too many, no /proc to link through) is made a copy; any other error is the disk's, and a
        // copy would hide it.
        const int linked = into.linkIn(*source, name).error();
        if (linked == 0)
            return true;
        if (linked != EXDEV && linked != EPERM && linked != EMLINK && linked != EOPNOTSUPP &&
            linked != ENOENT)
            writeFailed(shown(relative), linked);
    }
    copy(*source, from, into, relative, what);
    return true;
}

void PlanningStaging::copy(const FolderHandle::File& source, const fs::path& from, const FolderHandle& into,
                           const fs::path& relative, const std::string& what) const
{
    // The working folder is nobody else's: a copy that fails goes again as far as it can.
    const std::string name = relative.filename().string();
    auto made = into.createWhole(name, {});
    if (!made.ok())
        writeFailed(shown(relative), made.error());
    const auto failed = [&](int error, bool reading) {
        // Closed first: a file server keeps the name of an open file (".nfs…").
        made->close();
        into.removeFile(name);
        if (reading)
            throw cannotCopy(what, from, error);
        writeFailed(shown(relative), error);
    };
    // A series file, a picture or a surface in one read mostly.
    constexpr std::size_t block = 1 << 20;
    std::uintmax_t copied = 0;
    for (;;) {
        const auto bytes = source.readAt(copied, block);
        if (!bytes.ok())
            failed(bytes.error(), true);
        if (bytes->empty())
            break;
        if (const auto written = made->writeAt(copied, *bytes); !written.ok())
            failed(written.error(), false);
        copied += bytes->size();
    }
    // Checked to the last byte on the disk.
    const auto synced = made->sync();
    const auto status = synced.ok() ? made->status() : Answer<struct stat>(synced.failure());
    if (!status.ok())
        failed(status.error(), false);
    if (std::uintmax_t(status->st_size) != copied)
        failed(EIO, false);
    if (const auto finished = made->finish(); !finished.ok())
        writeFailed(shown(relative), finished.error());
}

void PlanningStaging::writeFile(const fs::path& relative, const std::function<std::string()>& bytes) const
{
    std::string text;
    try {
        text = bytes();
    } catch (const std::exception& e) {
        throw std::runtime_error("Could not write " + shown(relative) + ": " + asShown(e.what(), staging_.string()));
    }
    auto made = makeFolder(relative.parent_path()).createWhole(relative.filename().string(), text);
    if (!made.ok())
        writeFailed(shown(relative), made.error());
    if (const auto finished = made->finish(); !finished.ok())
        writeFailed(shown(relative), finished.error());
}

void PlanningStaging::copyImplantDescription(const std::string& file, const fs::path& relative) const
{
    const fs::path description(file);
    placeFile(description, relative / description.filename(), false, "implant description");
    // What the copy says is what the new planning holds.
    const auto text = folder_.readBelow((relative / description.filename()).string());
    if (!text.ok())
        throw std::runtime_error("Could not read " + shown(relative / description.filename()) + ": " +
                                 reasonOf(text.error()) + ".");
    const Vexa::IniFileManager ini(file, text->value_or(std::string()));
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
    for (const std::string& picture : pictures)
        placeFile(source / picture, relative / picture, false, "implant picture", true);
}

std::string PlanningStaging::readBack(const std::string& relative, const std::string& what, bool whole,
                                      const std::string& failure) const
{
    const auto failed = [&](const std::string& reason) {
        return std::runtime_error(failure + asShown(reason, staging_.string()));
    };
    const auto cannotRead = [&](int error) { return failed(what + " could not be read (" + reasonOf(error) + ")."); };
    const auto kind = folder_.kindBelow(relative);
    if (!kind.ok())
        throw cannotRead(kind.error());
    if (*kind == FolderHandle::Kind::none)
        throw failed(what + " is missing.");
    if (*kind != FolderHandle::Kind::file)
        throw failed(what + " is no regular file.");
    if (!whole)
        return {};
    const auto text = folder_.readBelow(relative, wholeFile);
    if (!text.ok())
        throw cannotRead(text.error());
    if (!*text)
        throw failed(what + " is no regular file.");
    return std::move(**text);
}

void PlanningStaging::verify(const fs::path& relative, const PlanningFile& written,
                             const std::shared_ptr<Vexa::IndexedTriangleMesh>& surface) const
{
    const std::string failure =
        "The new planning's planning file " + relative.generic_string() + " did not read back as written: ";
    const auto failed = [&](const std::string& reason) {
        return std::runtime_error(failure + asShown(reason, staging_.string()));
    };
    PlanningFile back;
    const std::string text = readBack(relative.string(), "it", true, failure);
    try {
        back = PlanningFile::parse(text, at(relative).string());
    } catch (const std::exception& e) {
        throw failed(e.what());
    }
    bool same = back.dicomFiles == written.dicomFiles && back.surfaceFile == written.surfaceFile &&
                back.origin == written.origin && back.jaw == written.jaw &&
                back.implants.size() == written.implants.size() && back.corners.size() == written.corners.size() &&
                back.markers.size() == written.markers.size() && back.nerveElements.size() == written.nerveElements.size();
    for (std::size_t i = 0; same && i < back.implants.size(); ++i)
        same = back.implants[i].file == written.implants[i].file && back.implants[i].group == written.implants[i].group;
    if (!same)
        throw failed("its contents differ.");
    for (const std::string& name : back.dicomFiles)
        readBack(name, "the DICOM file " + name, false, failure);
    for (const auto& implant : back.implants)
        readBack(implant.file, "the implant description " + implant.file, false, failure);
    if (!back.surfaceFile.empty()) {
        std::istringstream bytes(readBack(back.surfaceFile, "the 3D model " + back.surfaceFile, true, failure));
        const auto read = Vexa::readSFFBinStream(bytes);
        if (!read || !surface || read->getTriangleCount() != surface->getTriangleCount())
            throw failed("the 3D model " + back.surfaceFile + " does not read back.");
    }
}
