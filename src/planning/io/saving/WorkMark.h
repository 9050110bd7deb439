#pragma once
// A file ".morvanta-work" that a program instance puts into a folder it is at work in (a planning
// being built and published, a replaced planning being taken over and the planning taking it
// over, a planning a start finishes take-overs into), so that every other instance, on this
// computer or another one sharing the folder, keeps out. It is locked (flock) while held and
// names its holder (LockHolder, HolderFile).
//
// Rule: what a save or a crash left is touched only under a mark: one taken from a holder known
// beyond doubt to be gone, or one made where there was none. A mark whose holder may be alive is
// never taken (HolderFile::Verdict), nor one whose file this file system does not let this user
// take over safely (HolderFile::Taken::unsafe): that is left as a live holder's. A mark of another
// computer is never judged here: that computer finishes its own leftovers at its next start.
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/LockHolder.h"

#include <ctime>
#include <memory>
#include <optional>
#include <string>

class WorkMark
{
public:
    static constexpr const char* fileName = ".morvanta-work";
    // The mark's name, or the temporary name a mark has beside it while it is made or held where
    // the file system has no nameless files: what goes with the mark.
    static bool isMarkName(const std::string& name);
    // Removes the temporary names of marks that nobody holds (a kill while a mark is held where
    // the file system has no nameless files leaves one), so that the folder may go; an empty one
    // whose maker may still be about to lock it stays (HolderFile::removeTemporary).
    static Answer<Done> removeLeftNames(const FolderHandle& folder);

    // The outcome of taking a mark: the mark, or why not (`verdict` on the mark found, `why` in
    // words: for something not this program's at the mark's name, the sentence saying so; atWork
    // also for a gone holder's mark that cannot be taken over safely here).
    struct Taking
    {
        std::unique_ptr<WorkMark> mark;
        HolderFile::Verdict verdict = HolderFile::Verdict::none;
        std::string why;
        // Not taken, but provably nobody at work: another computer's mark whose lock is free on a
        // file system that takes locks (that save ended or died). Work that any instance may do
        // from a record may go on without a mark.
        bool idle = false;
        // Not taken: the mark of a save that is gone, which this user may not replace (the error
        // that said so; `why` says whose it is). That user's next start finishes what it left.
        int refused = 0;
        // Not taken: the mark of a save that is gone, which this user cannot take over safely on
        // this file system (`why` says why); left as a live holder's.
        bool unsafe = false;
        // Unsafe, and only the mark's owner may take it over (`why` names that user).
        bool ownersOnly = false;
    };

    // Makes the mark in `folder`; null when something holds the name already.
    static Answer<std::unique_ptr<WorkMark>> create(const FolderHandle& folder);

    // Takes the mark of `folder` over from a holder that is gone, or makes one where there is
    // none and `orCreate` is set.
    static Answer<Taking> take(const FolderHandle& folder, bool orCreate);

    // Whether an instance that is or may be alive holds the mark of `folder`: its lock is held, or
    // its holder lives, or cannot be judged (another computer's where the file system takes no
    // locks). Something not this program's at the name is no holder: taking the mark says so.
    static Answer<bool> isHeld(const FolderHandle& folder);
    // What keeps this user from taking the mark of `folder` once its holder is gone, for a save to
    // be refused before it publishes: something not this program's at the mark's name (a file of
    // the user's, a folder, a link), or a gone save's mark that this user may not replace. The
    // sentence saying so and what the user may do, without its full stop (HolderFile::inTheWay,
    // HolderFile::notReplaceable); empty where there is nothing.
    static Answer<std::string> inTheWay(const FolderHandle& folder);
    // Whether `folder` holds a mark at all.
    static Answer<bool> isIn(const FolderHandle& folder);
    // Removes the mark of `folder` that nobody holds (another computer's idle mark, whose work an
    // instance finished without a mark of its own), while it is still the one judged; a mark that
    // an instance holds now stays for that instance to remove.
    static Answer<Done> removeIdle(const FolderHandle& folder);
    // The mark's holder and since when it is there; nothing when the folder holds no mark of
    // this program's.
    static Answer<std::optional<LockHolder>> holderOf(const FolderHandle& folder, std::time_t* since = nullptr);

    // Removes the mark (when it is still the one at its place) and lets go.
    ~WorkMark();
    WorkMark(const WorkMark&) = delete;
    WorkMark& operator=(const WorkMark&) = delete;

    // Removes the mark now (when it is still the one at its place) and lets go; where the removal
    // fails, the mark stays, for a later start.
    Answer<Done> release();
    // Lets go but leaves the file: the folder is left for a later start to finish.
    void leave();
    // Whether the mark was taken over from a holder that died at its work.
    bool wasLeft() const { return wasLeft_; }

private:
    WorkMark(FolderHandle::File file, FolderHandle folder, bool wasLeft)
        : file_(std::move(file)), folder_(std::move(folder)), wasLeft_(wasLeft)
    {
    }

    FolderHandle::File file_;
    // Held open: the mark follows the folder through the rename that publishes it.
    FolderHandle folder_;
    bool wasLeft_;
};
