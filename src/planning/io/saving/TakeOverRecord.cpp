#include "planning/io/saving/TakeOverRecord.h"

#include "vexa/io/AtomicFile.h"

#include "planning/io/PlanningFile.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/WorkMark.h"

#include <filesystem>
#include <sstream>

namespace {

constexpr char magic1[] = "morvanta-replaces 1";
constexpr char magic2[] = "morvanta-replaces 2";
// The second format with the entries of the folder's user that stayed in it once its planning
// file went (after the line "stays").
constexpr char magic3[] = "morvanta-replaces 3";
constexpr char staysLine[] = "stays";

// A name a record can hold on one line of its own.
bool isLineName(const std::string& name)
{
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return !name.empty();
}

// The status of `name` below `folder`; nothing where there is no such entry.
Answer<std::optional<struct stat>> statusBelow(const FolderHandle& folder, const std::string& name)
{
    using Found = std::optional<struct stat>;
    const std::filesystem::path path(name);
    const FolderHandle in = folder.child(path.parent_path().string());
    if (!in)
        return in.isNoFolder() ? Answer<Found>(std::nullopt) : in.failure();
    const auto status = in.status(path.filename().string());
    if (!status.ok())
        return status.error() == ENOENT ? Answer<Found>(std::nullopt) : status.failure();
    return Found(*status);
}

// The stamp of a regular file (with `anyKind`, of any entry); nothing where there is none.
Answer<std::optional<TakeOverRecord::Stamp>> stampOf(const FolderHandle& folder, const std::string& name,
                                                     bool anyKind = false)
{
    using Found = std::optional<TakeOverRecord::Stamp>;
    const auto status = statusBelow(folder, name);
    if (!status.ok())
        return status.failure();
    if (!*status || (!anyKind && !S_ISREG((*status)->st_mode)))
        return Found();
    return Found(TakeOverRecord::Stamp{std::uintmax_t((*status)->st_size), (*status)->st_mtim.tv_sec,
                                       (*status)->st_mtim.tv_nsec});
}

// Whether `name` is the same regular file (a hard link) in both folders.
Answer<bool> sameFile(const FolderHandle& a, const FolderHandle& b, const std::string& name)
{
    const auto x = statusBelow(a, name);
    if (!x.ok())
        return x.failure();
    const auto y = statusBelow(b, name);
    if (!y.ok())
        return y.failure();
    return *x && *y && S_ISREG((*x)->st_mode) && (*x)->st_dev == (*y)->st_dev && (*x)->st_ino == (*y)->st_ino;
}

// Whether the folder (`relative` in the replaced one) holds nothing but a mark, folders, and
// entries the record proves: own files, and the user's entries that stayed.
Answer<bool> holdsOnlyRecorded(const TakeOverRecord& record, const FolderHandle& replaced, const FolderHandle& holder,
                               const std::string& relative = {}, int depth = 0)
{
    const FolderHandle folder = relative.empty() ? replaced.again() : replaced.child(relative);
    if (!folder)
        return folder.error() == ENOENT ? Answer<bool>(true) : folder.failure();
    const auto names = folder.entries();
    if (!names.ok())
        return names.failure();
    for (const std::string& name : *names) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        // The program's temporary files (a mark's, one in flight) make no other planning of it.
        if ((relative.empty() && WorkMark::isMarkName(name)) || Vexa::AtomicFile::isTemporaryName(name))
            continue;
        if (const auto stayed = record.stays.find(path); stayed != record.stays.end()) {
            const auto stamp = stampOf(replaced, path, true);
            if (!stamp.ok())
                return stamp.failure();
            if (*stamp == stayed->second)
                continue;
        }
        const auto kind = folder.kind(name);
        if (!kind.ok())
            return kind.failure();
        if (*kind == FolderHandle::Kind::none)
            continue; // gone meanwhile
        if (*kind == FolderHandle::Kind::folder && depth < 16) {
            const auto inner = holdsOnlyRecorded(record, replaced, holder, path, depth + 1);
            if (!inner.ok() || !*inner)
                return inner;
            continue;
        }
        const auto own = record.isOwnFile(replaced, path, holder, false);
        if (!own.ok())
            return own;
        if (!*own) {
            // Gone since the look: removed meanwhile by another instance taking the folder over.
            const auto still = folder.kind(name);
            if (!still.ok() || *still != FolderHandle::Kind::none)
                return still.ok() ? Answer<bool>(false) : still.failure();
        }
    }
    return true;
}

}

Answer<TakeOverRecord> TakeOverRecord::describe(const FolderHandle& replaced, const std::string& name,
                                                const std::string& planning, const std::vector<std::string>& ownFiles)
{
    TakeOverRecord record;
    record.folder = name;
    record.planning = planning;
    if (!planning.empty()) {
        const auto key = replaced.contentKey(planning);
        if (!key.ok())
            return key.failure();
        record.planningKey = *key;
    }
    for (const std::string& file : ownFiles)
        if (PlanningFile::staysInFolder(file) && isLineName(file)) {
            const auto stamp = stampOf(replaced, file);
            if (!stamp.ok())
                return stamp.failure();
            if (*stamp)
                record.own[std::filesystem::path(file).lexically_normal().generic_string()] = *stamp;
        }
    return record;
}

Answer<std::vector<std::string>> TakeOverRecord::filesNamedBy(const FolderHandle& folder, const std::string& planning)
{
    using Files = std::vector<std::string>;
    const auto text = folder.read(planning, 64 << 20);
    if (!text.ok())
        return text.failure();
    if (!*text)
        return Files();
    PlanningFile file;
    try {
        file = PlanningFile::parse(**text, folder.pathOf(planning));
    } catch (const std::exception&) {
        return Files(); // no planning: it names nothing
    }
    return file.ownFiles([&folder](const std::string& description) { return folder.readBelow(description); });
}

std::string TakeOverRecord::text() const
{
    const auto line = [](std::ostream& out, const Stamp& stamp, const std::string& name) {
        out << stamp.size << " " << stamp.seconds << "." << stamp.nanoseconds << " " << name << "\n";
    };
    std::ostringstream out;
    out << (stays.empty() ? magic2 : magic3) << "\n" << folder << "\n" << planning << "\n" << planningKey << "\n";
    for (const auto& [name, stamp] : own)
        if (stamp)
            line(out, *stamp, name);
    if (!stays.empty()) {
        out << staysLine << "\n";
        for (const auto& [name, stamp] : stays)
            line(out, stamp, name);
    }
    return out.str();
}

std::optional<TakeOverRecord> TakeOverRecord::parse(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; lines.size() < 1000000 && std::getline(in, line);)
        lines.push_back(line);
    TakeOverRecord record;
    if (lines.size() < 3 || (lines[0] != magic1 && lines[0] != magic2 && lines[0] != magic3) ||
        !PlanningFile::isFolderName(lines[1]) ||
        !(lines[2].empty() || PlanningFile::isFolderName(lines[2])))
        return std::nullopt;
    record.format = lines[0] == magic1 ? 1 : 2;
    bool inStays = false;
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
        if (lines[0] == magic3 && lines[i] == staysLine && !inStays) {
            inStays = true;
            continue;
        }
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
        if (!PlanningFile::staysInFolder(name))
            continue;
        const std::string normal = std::filesystem::path(name).lexically_normal().generic_string();
        if (inStays)
            record.stays[normal] = *stamp;
        else
            record.own[normal] = stamp;
    }
    return record;
}

Answer<std::optional<TakeOverRecord>> TakeOverRecord::read(const FolderHandle& holder, const std::string& fileName)
{
    const auto text = holder.read(fileName, 64 << 20);
    if (!text.ok())
        return text.failure();
    return *text ? parse(**text) : std::nullopt;
}

Answer<bool> TakeOverRecord::isOwnFile(const FolderHandle& replaced, const std::string& name, const FolderHandle& holder,
                                       bool orSameBytes) const
{
    const auto it = own.find(name);
    if (it == own.end())
        return false;
    if (it->second) {
        const auto stamp = stampOf(replaced, name);
        if (!stamp.ok())
            return stamp.failure();
        if (*stamp == it->second)
            return true;
    }
    const auto same = sameFile(replaced, holder, name);
    if (!same.ok() || *same || !orSameBytes)
        return same;
    const std::filesystem::path path(name);
    const std::string parent = path.parent_path().string(), file = path.filename().string();
    const FolderHandle from = replaced.child(parent), to = holder.child(parent);
    for (const FolderHandle* folder : {&from, &to})
        if (!*folder)
            return folder->isNoFolder() ? Answer<bool>(false) : folder->failure();
    return FolderHandle::sameBytes(from, file, to, file);
}

namespace {

// A record of the first format names no contents: its planning is the one whose series are the
// very files of the planning replacing it.
Answer<TakeOverRecord::Finding> judgeBySeries(const TakeOverRecord& record, const FolderHandle& holder,
                                              const FolderHandle& replaced)
{
    int series = 0;
    for (const auto& [name, stamp] : record.own) {
        if (!name.starts_with("dicom/"))
            continue;
        const auto there = statusBelow(replaced, name);
        if (!there.ok())
            return there.failure();
        if (!*there || !S_ISREG((*there)->st_mode))
            continue;
        const auto linked = sameFile(replaced, holder, name);
        if (!linked.ok())
            return linked.failure();
        if (!*linked) {
            // Gone since the look (another instance took the folder over meanwhile): no proof
            // either way.
            const auto still = statusBelow(replaced, name);
            if (!still.ok())
                return still.failure();
            if (*still)
                return TakeOverRecord::Finding::notIt;
            continue;
        }
        ++series;
    }
    return series > 0 ? TakeOverRecord::Finding::planning : TakeOverRecord::Finding::notIt;
}

// Once its planning file went: a recorded own file is left, or nothing but what the record
// proves (holdsOnlyRecorded).
Answer<TakeOverRecord::Finding> judgeWhatIsLeft(const TakeOverRecord& record, const FolderHandle& holder,
                                                const FolderHandle& replaced)
{
    using Finding = TakeOverRecord::Finding;
    // Another planning the folder holds now is no one's to take over.
    const auto other = PlanningFinder::planningIn(replaced);
    if (!other.ok())
        return other.failure();
    if (!other->empty())
        return Finding::notIt;
    for (const auto& [name, stamp] : record.own) {
        const auto mine = record.isOwnFile(replaced, name, holder, false);
        if (!mine.ok())
            return mine.failure();
        if (*mine)
            return Finding::planningGone;
    }
    const auto recorded = holdsOnlyRecorded(record, replaced, holder);
    if (!recorded.ok())
        return recorded.failure();
    return *recorded ? Finding::planningGone : Finding::notIt;
}

}

Answer<TakeOverRecord::Finding> TakeOverRecord::judge(const FolderHandle& holder, const FolderHandle& replaced) const
{
    if (!replaced) {
        if (replaced.error() == ENOENT)
            return Finding::gone;
        return replaced.isNoFolder() ? Answer<Finding>(Finding::notIt) : replaced.failure();
    }
    const auto same = holder.isSameFolder(replaced);
    if (!same.ok())
        return same.failure();
    if (*same)
        return Finding::notIt;
    // A planning file that is gone between the look and its read (another instance took the folder
    // over meanwhile) is looked at again.
    for (int look = 0; look < 8; ++look) {
        const auto planningThere =
            planning.empty() ? Answer<FolderHandle::Kind>(FolderHandle::Kind::none) : replaced.kind(planning);
        if (!planningThere.ok())
            return planningThere.failure();
        if (*planningThere == FolderHandle::Kind::file && format == 1)
            return judgeBySeries(*this, holder, replaced);
        if (*planningThere == FolderHandle::Kind::file) {
            const auto key = replaced.contentKey(planning);
            if (!key.ok())
                return key.failure();
            if (key->empty())
                continue;
            return *key == planningKey ? Finding::planning : Finding::notIt;
        }
        // Something else at the planning file's name is no one's to take over.
        if (*planningThere != FolderHandle::Kind::none)
            return Finding::notIt;
        return judgeWhatIsLeft(*this, holder, replaced);
    }
    return Failure{EAGAIN, replaced.pathOf(planning)};
}

Answer<std::string> TakeOverRecord::setAside(const FolderHandle& holder, const std::string& fileName)
{
    const std::string base = setAsidePrefix + fileName.substr(std::string(prefix).size());
    for (int n = 0; n < 1000; ++n) {
        const std::string name = n ? base + "-" + std::to_string(n) : base;
        const int error = holder.moveTo(fileName, holder, name).error();
        if (error != EEXIST)
            return error ? Answer<std::string>(Failure{error}) : name;
    }
    return Failure{EEXIST};
}
