#include "planning/io/saving/TakeOver.h"

#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/WorkMark.h"

#include <cstring>
#include <filesystem>
#include <set>

namespace {

const std::string previousPrefix = ".previous-";
constexpr int maxDepth = 8;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string stays(const std::string& entry, const std::string& folder, int error)
{
    return entry + " could not move into " + folder + " (" + std::strerror(error) + "); it stays where it is.";
}

// Moves `name` of `from` to `name` in `to` without ever replacing a file: a folder of that name
// there is merged; a file the new planning holds byte for byte goes. What moved meanwhile by
// another instance's hand counts as moved; one note for each part that stays.
void moveInto(const FolderHandle& from, const std::string& name, const FolderHandle& to, std::vector<std::string>& notes,
              int depth)
{
    // An empty folder there is no file of the new planning's: the entry takes its place.
    if (to.isFolder(name) && to.child(name).isEmpty())
        to.removeFolder(name);
    const int failed = from.moveTo(name, to, name);
    if (failed == 0 || (failed == ENOENT && !from.has(name)))
        return;
    if (failed == EEXIST && from.isFile(name) && FolderHandle::sameBytes(from, name, to, name)) {
        if (const int error = from.removeFile(name); error && error != ENOENT)
            notes.push_back(stays(from.pathOf(name), to.path(), error));
        return;
    }
    if (failed != EEXIST || !from.isFolder(name) || !to.isFolder(name) || depth > 64) {
        notes.push_back(stays(from.pathOf(name), to.path(), failed));
        return;
    }
    const FolderHandle inner = from.child(name), target = to.child(name);
    if (!inner || !target) {
        notes.push_back(stays(from.pathOf(name), to.path(), inner ? target.error() : inner.error()));
        return;
    }
    const std::size_t before = notes.size();
    for (const std::string& entry : inner.entries())
        moveInto(inner, entry, target, notes, depth + 1);
    if (notes.size() == before)
        if (const int error = from.removeFolder(name); error && error != ENOENT)
            notes.push_back(stays(from.pathOf(name), to.path(), error));
}

// The folders the own files lie in, relative ("dicom", "implant/0", "implant").
std::set<std::string> foldersOf(const TakeOverRecord& record)
{
    std::set<std::string> folders;
    for (const auto& [file, stamp] : record.own)
        for (auto at = std::filesystem::path(file).parent_path(); !at.empty(); at = at.parent_path())
            folders.insert(at.generic_string());
    return folders;
}

// Moves what `relative` of the replaced folder holds besides its planning's own files to the same
// place in `into`; the folders own files lie in are gone through.
void moveOthers(const FolderHandle& replaced, const TakeOverRecord& record, const std::string& relative,
                const std::set<std::string>& ownFolders, const FolderHandle& into, std::vector<std::string>& notes)
{
    const FolderHandle from = replaced.child(relative);
    for (const std::string& name : from.entries()) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        const bool folder = from.isFolder(name);
        if (relative.empty() &&
            (name == WorkMark::fileName || name == record.planning || startsWith(name, TakeOverRecord::prefix) ||
             (folder && startsWith(name, previousPrefix) && !PlanningFinder::planningIn(from.child(name)).empty())))
            continue;
        if (!folder && record.own.count(path))
            continue;
        if (folder && ownFolders.count(path)) {
            moveOthers(replaced, record, path, ownFolders, into, notes);
            continue;
        }
        // The place in the new planning, made as a real folder where it is missing.
        FolderHandle to = into.again();
        int error = 0;
        for (const auto& part : std::filesystem::path(relative)) {
            const std::string step = part.string();
            if (const int made = to.makeFolder(step); made && made != EEXIST) {
                error = made;
                break;
            }
            to = to.child(step);
            if (!to) {
                error = to.error();
                break;
            }
        }
        if (error)
            notes.push_back(stays(from.pathOf(name), into.pathOf(relative), error));
        else
            moveInto(from, name, to, notes, 0);
    }
}

// Removes the own files the record proves to be the replaced planning's (in a folder `proven` to
// be the one replaced, also those the planning holding the record has byte for byte), then the
// folders they emptied; the first failure's errno value.
int removeOwnFiles(const FolderHandle& replaced, const TakeOverRecord& record, const FolderHandle& holder, bool proven,
                   std::vector<std::string>& notes)
{
    int kept = 0;
    for (const auto& [file, stamp] : record.own) {
        const std::filesystem::path path(file);
        const FolderHandle in = replaced.child(path.parent_path().string());
        const std::string name = path.filename().string();
        if (!in.isFile(name))
            continue;
        if (!record.isOwnFile(replaced, file, holder, proven)) {
            notes.push_back(replaced.pathOf(file) + " stays where it is: it is no longer the file the replaced planning "
                                                    "had.");
            continue;
        }
        if (const int error = in.removeFile(name); error && error != ENOENT && !kept)
            kept = error;
    }
    const std::set<std::string> folders = foldersOf(record);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const std::filesystem::path path(*it);
        replaced.child(path.parent_path().string()).removeFolder(path.filename().string()); // only while empty
    }
    return kept;
}

}

namespace TakeOver {

Result run(const FolderHandle& parent, const TakeOverRecord& record, const FolderHandle& holder,
           const FolderHandle& into, std::vector<std::string>& notes, int depth)
{
    const FolderHandle replaced = parent.child(record.folder);
    const std::string where = parent.pathOf(record.folder);
    if (!replaced && replaced.error() == ENOENT)
        return Result::whole;
    // A folder the record does not fit is not touched, not even by a mark.
    if (record.judge(holder, replaced) == TakeOverRecord::Finding::notIt)
        return Result::notIt;
    // Held while it is taken over, so that no start finishes take-overs into it meanwhile. A mark
    // of another computer's that cannot be judged here is no one at work: its lock is free.
    const auto mark = replaced ? WorkMark::take(replaced, true) : nullptr;
    if (!mark && WorkMark::isHeld(replaced))
        return Result::busy;
    const TakeOverRecord::Finding finding = record.judge(holder, replaced);
    if (finding == TakeOverRecord::Finding::gone)
        return Result::whole;
    if (finding == TakeOverRecord::Finding::notIt)
        return Result::notIt;
    if (finding == TakeOverRecord::Finding::planning) {
        if (depth < maxDepth) {
            std::vector<std::string> done;
            for (const std::string& name : replaced.entries())
                if (startsWith(name, TakeOverRecord::prefix) && replaced.isFile(name))
                    finishRecord(parent, replaced, name, into, done, notes, depth + 1);
        }
        const std::set<std::string> ownFolders = foldersOf(record);
        moveOthers(replaced, record, {}, ownFolders, into, notes);
        // After the folder's own entries: where names meet, the later planning's file is kept.
        if (depth < maxDepth)
            for (const std::string& name : replaced.entries())
                if (startsWith(name, previousPrefix) && replaced.isFolder(name))
                    if (const std::string planning = PlanningFinder::planningIn(replaced.child(name)); !planning.empty())
                        runUnrecorded(replaced, name, planning, into, notes, depth + 1);
        if (const int error = replaced.removeFile(record.planning); error && error != ENOENT) {
            notes.push_back("kept " + where + ": its planning file could not be removed (" + std::strerror(error) +
                            "); nothing else of the planning was removed");
            return Result::kept;
        }
        replaced.sync();
    }
    if (const int kept = removeOwnFiles(replaced, record, holder, finding == TakeOverRecord::Finding::planning, notes)) {
        notes.push_back("kept " + where + ": files of the replaced planning could not be removed (" +
                        std::strerror(kept) + ")");
        return Result::kept;
    }
    if (mark)
        mark->leave();
    replaced.removeFile(WorkMark::fileName);
    parent.removeFolder(record.folder); // what stayed of the user's keeps it
    return Result::whole;
}

Result runUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                     const FolderHandle& into, std::vector<std::string>& notes, int depth)
{
    const FolderHandle folder = parent.child(name);
    return run(parent, TakeOverRecord::describe(folder, name, planning, TakeOverRecord::filesNamedBy(folder, planning)),
               parent, into, notes, depth);
}

std::string leftBusy(const std::string& folder)
{
    return "left " + folder + ": another instance is at work in it";
}

std::string tookOver(const std::string& replaced, const std::string& into)
{
    return "took over the files of the replaced planning " + replaced + " into " + into;
}

Result finishRecord(const FolderHandle& parent, const FolderHandle& holder, const std::string& fileName,
                    const FolderHandle& into, std::vector<std::string>& done, std::vector<std::string>& notes, int depth)
{
    const auto record = TakeOverRecord::read(holder, fileName);
    const std::string replaced = record ? parent.pathOf(record->folder) : std::string();
    const Result result = record ? run(parent, *record, holder, into, notes, depth) : Result::notIt;
    if (result == Result::busy)
        done.push_back(leftBusy(replaced));
    if (result == Result::kept || result == Result::busy)
        return result;
    if (result == Result::notIt) {
        const std::string aside = TakeOverRecord::setAside(holder, fileName);
        notes.push_back("The record " + holder.pathOf(fileName) +
                        (record ? " names " + replaced + ", which does not hold the planning it replaced"
                                : " cannot be read") +
                        ": nothing was moved or removed for it" +
                        (aside.empty() ? "." : "; it is set aside as " + holder.pathOf(aside) + "."));
        return result;
    }
    const int error = holder.removeFile(fileName);
    if (error && error != ENOENT) {
        done.push_back("took over " + replaced + " into " + into.path() + ", but its record " + holder.pathOf(fileName) +
                       " could not be removed (" + std::strerror(error) + ")");
        return result;
    }
    done.push_back(tookOver(replaced, into.path()));
    return result;
}

}
