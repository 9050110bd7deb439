#pragma once
// A file ".morvanta-work" that a program instance puts into a folder it is at work in (a planning
// being built and published, a replaced planning being taken over and the planning taking it
// over), so that every other instance, on this computer or another one sharing the folder,
// keeps out. It is locked (flock) while held and names its holder (LockHolder).
//
// Rule: what a save or a crash left is touched only under a mark: one taken from a holder known
// beyond doubt to be gone, or one made where there was none. A holder is gone when its lock is
// free and LockHolder says so, or when it died before it could write its name (told only where
// the file system takes locks). A mark of another computer is never judged here: that computer
// finishes its own leftovers at its next start.
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

    // Makes the mark in `folder`. Null when another instance took the folder in the instant
    // between (it holds the file then); throws Vexa::WriteError when no file can be made.
    static std::unique_ptr<WorkMark> create(const FolderHandle& folder);

    // Takes the mark of `folder` over from a holder that is gone, or makes one where there is
    // none and `orCreate` is set. Null when the folder is in use, when its mark is another
    // computer's or not one this program wrote, or when nothing can be made; `why` then says
    // which.
    static std::unique_ptr<WorkMark> take(const FolderHandle& folder, bool orCreate, std::string* why = nullptr);
    static std::unique_ptr<WorkMark> take(const std::string& folder, bool orCreate, std::string* why = nullptr);

    // Whether `folder` holds a mark at all.
    static bool isIn(const FolderHandle& folder);
    // Whether a live holder has the mark of `folder` locked now.
    static bool isHeld(const FolderHandle& folder);
    static bool isHeld(const std::string& folder);
    // The mark's holder and since when it is there; nothing when the folder holds no mark of
    // this program's.
    static std::optional<LockHolder> holderOf(const FolderHandle& folder, std::time_t* since = nullptr);

    // Removes the mark (when it is still the one at its place) and lets go.
    ~WorkMark();
    WorkMark(const WorkMark&) = delete;
    WorkMark& operator=(const WorkMark&) = delete;

    // Lets go but leaves the file: the folder is left for a later start to finish.
    void leave();
    // Whether the mark was taken over from a holder that died at its work.
    bool wasLeft() const { return wasLeft_; }

private:
    WorkMark(int fd, FolderHandle folder, bool wasLeft) : fd_(fd), folder_(std::move(folder)), wasLeft_(wasLeft) {}

    int fd_;
    // Held open: the mark follows the folder through the rename that publishes it.
    FolderHandle folder_;
    bool wasLeft_;
};
