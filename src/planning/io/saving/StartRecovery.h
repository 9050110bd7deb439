#pragma once
// What a start finishes of the saves that crashes cut off below the patient folders.
//
// Rule: a start touches only what the program made, nothing a save is still at work in, and
// nothing through a link (FolderHandle):
//   - a planning's take-over records are finished by any instance on any computer, as far as
//     each record allows (TakeOverRecord); a record that does not fit is set aside and told;
//   - a working folder whose save of this computer is gone is removed with the folder reserved
//     for it; one of another computer is left to that computer, and told once it has waited for
//     an hour by the file server's clock (which computer, since when, how large); an empty
//     working folder without a mark, and an empty folder reserved for a planning (a time-stamp
//     name) that no working folder stands beside, once no save can be about to begin in it: two
//     minutes by the file server's clock, never this computer's;
//   - temporary files of a save that died in a planning go, and so do origin locks of this
//     computer whose holder is gone; a mark's or lock's temporary file, and a probe of the file
//     server's clock that a start left, once no maker can still be at it
//     (HolderFile::removeTemporary), with a folder that held nothing else;
//   - what earlier program versions left (".<name>.previous<n>" folders, ".previous-" folders in
//     a planning, working folders being published) is finished as they would have.
// Called while no other instance of this installation runs.
//
// The walk is the start's only one over the patient folders: it hands on the planning folders it
// met, with their entries, so that what else a start looks for in them needs no walk of its own.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace StartRecovery {

struct Report
{
    // Everything done or left, a line each (for the log).
    std::vector<std::string> lines;
    // What of it the user must know: a file left in a folder that is no planning any more, a
    // replaced planning kept, a record set aside, another computer's unfinished save.
    std::vector<std::string> toTell;
    // The planning folders the walk met (paths as it reached them), each with its entries as then
    // listed.
    struct Planning
    {
        std::string folder;
        std::vector<std::string> entries;
    };
    std::vector<Planning> plannings;
    // Patient paths that name no folder (a file stands there or on the way): nothing of earlier
    // sessions can be there.
    std::vector<std::string> noFolders;
    // Whether the walk was told to stop before its end: then the rest is left for the next start.
    bool stopped = false;
};

// What the caller hears of the walk and how it stops it; both are asked in the walk's thread.
struct Walk
{
    // Asked before every planning: true ends the walk there.
    std::function<bool()> stop;
    // After every planning: the part of the patient folders' top entries walked (0..1) and how
    // many plannings were met so far.
    std::function<void(double part, std::size_t plannings)> advanced;
};

Report finishInterrupted(const std::vector<std::string>& patientPaths, const Walk& walk = {});

}
