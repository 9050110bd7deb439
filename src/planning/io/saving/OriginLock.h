#pragma once
// Overwrites of one planning take turns: each holds the lock of the planning's origin (the name
// of the folder it was first saved in) around the check that the planning loaded is still the
// last saved one, the publishing and the take-over; the later one then finds the planning it
// loaded replaced. The lock is the file ".<origin>.lock" in the folder that holds the plannings.
//
// Rule: an origin is one plain name (PlanningFile::isFolderName); no lock is named from any other,
// and nothing is touched for it. A lock is waited for while its holder lives, judged as a save's
// mark is (LockHolder): a dead holder's lock on this computer is taken over at once, while it is
// still the lock judged (HolderFile::takeOver); one that this user cannot take over safely on
// its file system is waited for as a live holder's, saying so. Another computer's holder
// rewrites its beat in the file every second while it holds the lock; a lock whose beat stands
// still for `stillBeat` is a dead holder's and is taken over, whoever made it, by a lock file of
// this user's (HolderFile::takeOver); where this user may not replace it, the save is refused,
// saying whose it is. Where no lock file can be made (a folder this user may
// not write, a read-only or full disk) and none is there, there is no lock. What stands at the lock's name and is not a lock file of this program's is never
// truncated, written or removed: the lock is refused at once, saying what is in the way and where.
#include "planning/io/saving/FolderHandle.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class OriginLock
{
public:
    static constexpr std::chrono::milliseconds stillBeat{5000};

    // Takes the lock of `origin` in `parentFolder`, waiting for a live holder; `waiting` hears
    // what is waited for ("the save of the computer X"). Throws std::runtime_error for an origin
    // that is no plain name, for something else in the lock's way, for a step that fails, and
    // when a live holder keeps it longer than `patience`.
    OriginLock(const std::string& parentFolder, const std::string& origin,
               const std::function<void(const std::string&)>& waiting = {},
               std::chrono::milliseconds patience = std::chrono::seconds(60));
    // Lets go and removes the file.
    ~OriginLock();
    OriginLock(const OriginLock&) = delete;
    OriginLock& operator=(const OriginLock&) = delete;

    // Done while the lock is held as others see it; else the error of the beat that could not be
    // written, after which it beats no more (another computer may take the lock 5 s later).
    Answer<Done> lost() const;
    // Lets go and removes the file while it is still this lock's (it stays where that fails).
    Answer<Done> release();
    // The lock file, for messages.
    std::string path() const { return parent_.pathOf(name_); }

    // Throws std::runtime_error, saying so, for an origin that is no plain folder name.
    static void checkOrigin(const std::string& origin);

    // A lock file of this program's in `folder` whose holder is gone on this computer goes, while
    // it is still the one judged; the temporary file one was made under goes as every temporary
    // file of the program's (HolderFile::removeTemporary). The line for the log: what went (said
    // only by the start that removed it), or what stayed and why; empty where it is no stale lock
    // (also where another instance took it over or removed it meanwhile).
    // `tellUser` is set where what it says is for the user (a lock that only its owner frees).
    static Answer<std::string> removeIfStale(const FolderHandle& folder, const std::string& name,
                                             bool* tellUser = nullptr);

private:
    class Beat;
    struct Attempt;
    Attempt attempt(const std::string& text, std::string& seen, std::chrono::steady_clock::time_point& seenSince);
    void startBeat();

    FolderHandle parent_;
    std::string name_;
    FolderHandle::File file_;
    std::unique_ptr<Beat> beat_;
};
