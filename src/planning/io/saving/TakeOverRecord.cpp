#include "planning/io/saving/TakeOverRecord.h"

#include "planning/io/PlanningFile.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/WorkMark.h"

#include <filesystem>
#include <sstream>

namespace {

constexpr char magic1[] = "morvanta-replaces 1";
constexpr char magic2[] = "morvanta-replaces 2";

// A name a record can hold on one line of its own.
bool isLineName(const std::string& name)
{
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return !name.empty();
}

std::optional<TakeOverRecord::Stamp> stampOf(const FolderHandle& folder, const std::string& name)
{
    const std::filesystem::path path(name);
    const FolderHandle in = folder.child(path.parent_path().string());
    const auto status = in.status(path.filename().string());
    if (!status || !S_ISREG(status->st_mode))
        return std::nullopt;
    return TakeOverRecord::Stamp{std::uintmax_t(status->st_size), status->st_mtim.tv_sec, status->st_mtim.tv_nsec};
}

// Whether `name` is the same file (a hard link) in both folders.
bool sameFile(const FolderHandle& a, const FolderHandle& b, const std::string& name)
{
    const std::filesystem::path path(name);
    const auto x = a.child(path.parent_path().string()).status(path.filename().string());
    const auto y = b.child(path.parent_path().string()).status(path.filename().string());
    return x && y && S_ISREG(x->st_mode) && x->st_dev == y->st_dev && x->st_ino == y->st_ino;
}

// Whether the folder holds nothing but a mark and empty folders.
bool holdsNothing(const FolderHandle& folder, int depth = 0)
{
    for (const std::string& name : folder.entries()) {
        if (name == WorkMark::fileName)
            continue;
        if (!folder.isFolder(name) || depth > 16 || !holdsNothing(folder.child(name), depth + 1))
            return false;
    }
    return true;
}

}

TakeOverRecord TakeOverRecord::describe(const FolderHandle& replaced, const std::string& name, const std::string& planning,
                                        const std::vector<std::string>& ownFiles)
{
    TakeOverRecord record;
    record.folder = name;
    record.planning = planning;
    record.planningKey = planning.empty() ? std::string() : replaced.contentKey(planning);
    for (const std::string& file : ownFiles)
        if (PlanningFile::staysInFolder(file) && isLineName(file))
            if (const auto stamp = stampOf(replaced, file))
                record.own[std::filesystem::path(file).lexically_normal().generic_string()] = stamp;
    return record;
}

std::vector<std::string> TakeOverRecord::filesNamedBy(const FolderHandle& folder, const std::string& planning)
{
    try {
        return PlanningFile::read(folder.pathOf(planning)).ownFiles(folder.path());
    } catch (const std::exception&) {
        return {};
    }
}

std::string TakeOverRecord::text() const
{
    std::ostringstream out;
    out << magic2 << "\n" << folder << "\n" << planning << "\n" << planningKey << "\n";
    for (const auto& [name, stamp] : own)
        if (stamp)
            out << stamp->size << " " << stamp->seconds << "." << stamp->nanoseconds << " " << name << "\n";
    return out.str();
}

std::optional<TakeOverRecord> TakeOverRecord::parse(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; lines.size() < 1000000 && std::getline(in, line);)
        lines.push_back(line);
    TakeOverRecord record;
    if (lines.size() < 3 || (lines[0] != magic1 && lines[0] != magic2) || !PlanningFile::isFolderName(lines[1]) ||
        !(lines[2].empty() || PlanningFile::isFolderName(lines[2])))
        return std::nullopt;
    record.format = lines[0] == magic1 ? 1 : 2;
    record.folder = lines[1];
    record.planning = lines[2];
    std::size_t first = 3;
    if (record.format == 2) {
        if (lines.size() < 4)
            return std::nullopt;
        record.planningKey = lines[3];
        first = 4;
    }
    for (std::size_t i = first; i < lines.size(); ++i) {
        std::string name = lines[i];
        std::optional<Stamp> stamp;
        if (record.format == 2) {
            std::istringstream fields(lines[i]);
            Stamp read;
            char dot = 0;
            if (!(fields >> read.size >> read.seconds >> dot >> read.nanoseconds) || dot != '.' || fields.get() != ' ')
                return std::nullopt;
            std::getline(fields, name);
            stamp = read;
        }
        if (PlanningFile::staysInFolder(name))
            record.own[std::filesystem::path(name).lexically_normal().generic_string()] = stamp;
    }
    return record;
}

std::optional<TakeOverRecord> TakeOverRecord::read(const FolderHandle& holder, const std::string& fileName)
{
    const auto text = holder.read(fileName, 64 << 20);
    return text ? parse(*text) : std::nullopt;
}

bool TakeOverRecord::isOwnFile(const FolderHandle& replaced, const std::string& name, const FolderHandle& holder,
                               bool orSameBytes) const
{
    const auto it = own.find(name);
    if (it == own.end())
        return false;
    if ((it->second && stampOf(replaced, name) == it->second) || sameFile(replaced, holder, name))
        return true;
    const std::filesystem::path path(name);
    const std::string parent = path.parent_path().string(), file = path.filename().string();
    return orSameBytes && FolderHandle::sameBytes(replaced.child(parent), file, holder.child(parent), file);
}

TakeOverRecord::Finding TakeOverRecord::judge(const FolderHandle& holder, const FolderHandle& replaced) const
{
    if (!replaced)
        return replaced.error() == ENOENT ? Finding::gone : Finding::notIt;
    if (holder.isSameFolder(replaced))
        return Finding::notIt;
    if (!planning.empty() && replaced.isFile(planning)) {
        if (format == 2)
            return replaced.contentKey(planning) == planningKey ? Finding::planning : Finding::notIt;
        // The first format: the planning's series are the very files of the planning replacing it.
        int series = 0;
        for (const auto& [name, stamp] : own)
            if (name.compare(0, 6, "dicom/") == 0 && replaced.child("dicom").isFile(name.substr(6))) {
                if (!sameFile(replaced, holder, name))
                    return Finding::notIt;
                ++series;
            }
        return series > 0 ? Finding::planning : Finding::notIt;
    }
    // Another planning file, or a planning the folder holds now, is no one's to take over.
    if ((!planning.empty() && replaced.has(planning)) || !PlanningFinder::planningIn(replaced).empty())
        return Finding::notIt;
    for (const auto& [name, stamp] : own)
        if (isOwnFile(replaced, name, holder, false))
            return Finding::planningGone;
    return holdsNothing(replaced) ? Finding::planningGone : Finding::notIt;
}

std::string TakeOverRecord::setAside(const FolderHandle& holder, const std::string& fileName)
{
    const std::string base = setAsidePrefix + fileName.substr(std::string(prefix).size());
    for (int n = 0; n < 1000; ++n) {
        const std::string name = n ? base + "-" + std::to_string(n) : base;
        const int error = holder.moveTo(fileName, holder, name);
        if (error != EEXIST)
            return error ? std::string() : name;
    }
    return {};
}
