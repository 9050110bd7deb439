#pragma once
// Which planning a folder holds, and where a planning is now.
//
// Rule: the planning of a folder is its planning file: the one known to be there (the file
// loaded, or the one a record names), else the one named after the folder (an earlier
// version's ".previous-<name>[-<n>]" folder: <name>), else the only ".srl" file in it. A
// planning is followed through overwrites by its origin (the folder it was first saved in,
// kept in its file); of several folders of one origin the last saved counts, by its stored save
// time and then its time-stamp name. One planning file is told from another by its contents
// (FolderHandle::contentKey): a folder whose planning file holds the very bytes of the one
// loaded holds that planning, moved, whatever it is called now. A folder that cannot be read
// is no answer: the search fails with its error, naming it.
//
// "Last saved" is by the time the file server gave each planning file when it was written
// (planning files are never written again once published), never by the clocks of the computers
// that saved them; the stored save time and the time-stamp name only order files of one tick.
#include "planning/io/saving/FolderHandle.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace PlanningFinder {

// Folders an earlier version of the program put the replaced plannings in, inside the new one:
// ".previous-<name>[-<n>]".
inline const std::string previousPrefix = ".previous-";

// The patient folders, opened: one not made yet is left out (it holds nothing), one that cannot
// be opened is given with its error.
std::vector<FolderHandle> patientFolders(const std::vector<std::string>& patientPaths);

// The name of the planning file of the folder; empty when it holds none.
Answer<std::string> planningIn(const FolderHandle& folder, const std::string& known = {});
// The same by path; throws std::runtime_error, naming the folder, when it cannot be read.
std::string planningIn(const std::string& folder, const std::string& known = {});

// The folder that holds the planning of that origin now: the planning below the patient
// folders that carries the origin (or, without one, is in a folder of that name), the last
// saved one of them; empty when there is none. These three throw std::runtime_error, naming the
// folder, when one cannot be read: they answer the saving's callers.
std::string findByOrigin(const std::vector<std::string>& patientPaths, const std::string& origin);

// The folder below the patient folders (carrying the origin) whose planning file has the
// content key given; empty when there is none.
std::string findByContent(const std::vector<std::string>& patientPaths, const std::string& origin,
                          const std::string& contentKey);

// What a search for a planning saved after another found.
struct Later
{
    // The later planning's folder (the last saved of them); empty when there is none.
    std::string folder;
    // Patient folders left out of the search: their look made no step for the silence given.
    std::vector<std::string> silent;
};

// The planning of the origin below the patient folders saved after the planning file `planning`
// in `folder` (every other one of the origin where that file or its folder went). Each patient
// folder is looked through in a call of its own (Vexa::DetachableCall); one whose look makes no
// step for `silence` (its file server stopped answering) is left out and named, while a slow one
// that goes on is waited for. A planning folder (a time-stamp name) that its file server has not
// changed since the planning file in `folder` was written is not opened, nor looked at in a
// folder that nothing was put in since. Throws std::runtime_error, naming the folder, when one
// that answers cannot be read.
Later findLater(const std::vector<std::string>& patientPaths, const std::string& origin, const std::string& folder,
                const std::string& planning, std::chrono::milliseconds silence);

// Calls `visit(folder, planning file name)` for every planning folder below `folder` (depth at
// most 8), hidden folders and links left out, until `visit` gives an errno value; 0, or the
// first errno value, with the folder it came from in `where`.
int eachPlanning(const FolderHandle& folder, const std::function<int(const FolderHandle&, const std::string&)>& visit,
                 std::string* where = nullptr, int depth = 0);

}
