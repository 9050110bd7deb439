#pragma once
// What a start finishes of the saves that crashes cut off below the patient folders.
//
// Rule: a start touches only what the program made, nothing a save is still at work in, and
// nothing through a link (FolderHandle):
//   - a planning's take-over records are finished by any instance on any computer, as far as
//     each record allows (TakeOverRecord); a record that does not fit is set aside and told;
//   - a working folder whose save of this computer is gone is removed with the folder reserved
//     for it; one of another computer is left to that computer, and told once it has waited for
//     an hour (which computer, since when, how large);
//   - temporary files of a save that died in a planning go, and so do origin locks of this
//     computer whose holder is gone; a mark's or lock's temporary file once no maker can still be
//     at it (HolderFile::removeTemporary), with a folder that held nothing else;
//   - what earlier program versions left (".<name>.previous<n>" folders, ".previous-" folders in
//     a planning, working folders being published) is finished as they would have.
// Called while no other instance of this installation runs.
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
};

Report finishInterrupted(const std::vector<std::string>& patientPaths);

}
