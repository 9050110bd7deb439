#pragma once
// The record a save writes into the new planning for each folder it replaces
// (".morvanta-replaces-<folder>"), so that any instance on any computer can finish the take-over
// should the save be cut off.
//
// It holds what identifies the replaced planning: the folder's name (beside the planning that
// holds the record), its planning file's name and contents (FolderHandle::contentKey), and each
// of its own files with its size and time.
//
// Rule: a record acts only where the folder it names provably still holds what it describes,
// and never on the folder that holds it:
//   - the folder holds the recorded planning file with the recorded contents: the take-over may
//     go on whole;
//   - the planning file went already (a take-over cut off after it), and the folder still holds a
//     recorded own file, or nothing but recorded own files, the recorded entries of the user's
//     that stayed, empty folders and a mark: only the recorded own files still there with their
//     recorded size and time (or that are the very files the planning holding the record has)
//     go; nothing else is moved;
//   - anything else (another planning file or planning, another folder of that name, a link, the
//     record's own folder): the record is set aside (".morvanta-set-aside-<folder>"), nothing is moved
//     or removed, and the user is told.
// Records of the first format name no contents: they act only where the folder's series files
// are the very files (hard links) the planning holding the record has.
// A record is set aside only on proof read without error; a step that fails gives its error.
// Before the planning file goes, the record is written again with the user's entries that could
// not move (TakeOver), so that the folder stays provably the one replaced until it is done.
#include "planning/io/saving/FolderHandle.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct TakeOverRecord
{
    static constexpr const char* prefix = ".morvanta-replaces-";
    static constexpr const char* setAsidePrefix = ".morvanta-set-aside-";

    struct Stamp
    {
        std::uintmax_t size = 0;
        long long seconds = 0;
        long nanoseconds = 0;
        bool operator==(const Stamp&) const = default;
    };

    int format = 2;
    std::string folder;      // the replaced folder's name
    std::string planning;    // its planning file's name
    std::string planningKey; // its contents' key; empty in the first format
    // Its own files, relative to it, with their stamps (none in the first format).
    std::map<std::string, std::optional<Stamp>> own;
    // The entries of the folder's user that could not move out of it, with their stamps: once
    // its planning file went, the folder holds nothing else of the user's.
    std::map<std::string, Stamp> stays;

    // The record of the planning `planning` in `replaced` (called `name` beside the new
    // planning) with its own files as they are now.
    static Answer<TakeOverRecord> describe(const FolderHandle& replaced, const std::string& name,
                                           const std::string& planning, const std::vector<std::string>& ownFiles);
    // The own files the planning file `planning` in `folder` names now; none when there is no
    // such file or it holds no planning (then all else in the folder is the user's).
    static Answer<std::vector<std::string>> filesNamedBy(const FolderHandle& folder, const std::string& planning);
    // The record's file name in the planning that holds it.
    std::string fileName() const { return prefix + folder; }
    std::string text() const;
    // Nothing for a file that is no record of this program's or names no folder beside.
    static std::optional<TakeOverRecord> parse(const std::string& text);
    // Nothing for a file that is no record (or no regular file).
    static Answer<std::optional<TakeOverRecord>> read(const FolderHandle& holder, const std::string& fileName);

    enum class Finding {
        planning,     // the folder holds the planning recorded
        planningGone, // its planning file went; recorded own files (or nothing) are left
        gone,         // there is no such folder
        notIt         // anything else
    };
    // What `replaced` (the folder the record names, beside `holder`) holds of what it records.
    Answer<Finding> judge(const FolderHandle& holder, const FolderHandle& replaced) const;
    // Whether the file `name` of `replaced` is provably the recorded own file: its recorded size
    // and time, or the very file (a hard link) of that name in `holder`; with `orSameBytes`, also
    // where `holder` holds the same bytes under that name (only for a folder proven to be the
    // one replaced: the plannings of one patient hold series of the same bytes).
    Answer<bool> isOwnFile(const FolderHandle& replaced, const std::string& name, const FolderHandle& holder,
                           bool orSameBytes) const;

    // Renames the record `fileName` in `holder` to a set-aside name; that name.
    static Answer<std::string> setAside(const FolderHandle& holder, const std::string& fileName);
};
