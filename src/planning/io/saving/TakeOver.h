#pragma once
// The take-over of a replaced planning's folder by the planning that replaced it.
//
// Rule, under the replaced folder's mark (WorkMark) and only where its record allows
// (TakeOverRecord::judge):
//   1. what take-overs into the replaced folder left (its records, an earlier version's
//      ".previous-" folders) is taken over into the new planning first;
//   2. the folder's entries that are not its planning's own files move into the new planning,
//      one rename each; a folder of that name there is merged; a file is never replaced: one the
//      new planning holds byte for byte goes, any other stays where it is and is told; so does an
//      entry the file system refuses to move (a folder the user may not move);
//   3. the record is written again with what stayed, and its planning file goes: from then on it
//      is listed no more. Should it not go, nothing else of the planning goes either. A take-over
//      that finishes it from then on tells what the record names as staying and is still there;
//   4. its own files go (those the record proves to be its own), then its emptied folders, the
//      mark and the folder. What stays of the user's keeps the folder, which is no planning any
//      more but where the user sees it.
// Every step is one rename or removal relative to open folders (FolderHandle), so that it may be
// finished from the record by any instance at any time. A step that fails (an error, not a
// refusal) stops the take-over where it stands: the record stays, and the next start finishes it.
// Two instances may take one folder over at once (one of them without a mark: WorkMark::Taking::
// idle): an entry the other moved or removed between two steps (found gone at a look of its own)
// is the other's work, neither a change nor another file nor a failure; once the other removed
// the folder, nothing of it is left unfinished, whatever step failed in it meanwhile.
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/TakeOverRecord.h"

#include <string>
#include <vector>

namespace TakeOver {

enum class Result {
    whole,   // nothing of the replaced planning is left: its record may go
    gone,    // there was no such folder: nothing was taken over, its record may go
    stopped, // a step failed (told in the notes): the record stays for a later start
    busy,    // another instance is or may be at work in the folder: nothing was done, its record stays
    notIt    // the folder does not hold what the record describes: nothing was done
};

// What a note promises where a later start finishes what this take-over leaves.
inline const std::string triesAgain = "The next start of the program tries again.";
// What a note says instead where a step was refused in a folder of `user`'s, another user's: only
// a start as that user goes on; and, where it is so, that this user's saves over the planning in
// `planning` (the one taking the files over) are refused until then.
std::string onlyAsThatUser(const std::string& user, const FolderHandle& planning);

// Takes the folder `record` names in `parent` over into `into`; `holder` is the planning that
// holds the record (`into`, or a replaced planning holding records of its own) under the name
// `recordName`, where it is written again before the planning file goes (none: not written). At
// most one paragraph for the user in `notes`: what stayed where, or what is not finished and why
// (and, where `resumable`, that a later start tries again: the record or the folder it is about
// stays for one).
Result run(const FolderHandle& parent, const TakeOverRecord& record, const FolderHandle& holder,
           const std::string& recordName, const FolderHandle& into, std::vector<std::string>& notes, int depth = 0,
           bool resumable = true);

// Takes over the replaced planning `name` in `parent` that no record describes (a folder an
// earlier program version left), with its planning file `planning` and the files that names now.
Result runUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                     const FolderHandle& into, std::vector<std::string>& notes, int depth = 0);

// The line for the log once the folder `replaced` is taken over into `into`.
std::string tookOver(const std::string& replaced, const std::string& into);

// The line for the log when another instance is or may be at work in `folder`.
std::string leftBusy(const std::string& folder);

// Finishes the record `fileName` in the planning `holder` (beside its replaced folder in
// `parent`) into `into`: the record goes once the take-over is whole; a record that does not
// fit is set aside. The line for the log ("took over ...", "left ...") in `done`; what the user
// must know in `notes`, a paragraph each.
Result finishRecord(const FolderHandle& parent, const FolderHandle& holder, const std::string& fileName,
                    const FolderHandle& into, std::vector<std::string>& done, std::vector<std::string>& notes,
                    int depth = 0);

}
