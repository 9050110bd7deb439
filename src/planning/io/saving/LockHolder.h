#pragma once
// Who holds a save's mark or an origin lock: a program instance, named by its computer (machine
// id and host name), that computer's boot and its process (number and start time).
//
// Rule: a holder is known to be gone only on its own computer (the same machine id where both
// have one, whatever the host name is now; else the same host name): when that computer has
// restarted since, or its process has ended (its number free, or taken by a later process).
// Another computer's process cannot be looked at from here.
#include "planning/io/saving/FolderHandle.h"

#include <chrono>
#include <optional>
#include <string>

struct LockHolder
{
    long pid = 0;
    std::string host, machine, boot, start;

    // This process.
    static LockHolder self();
    // Five lines: process number, host name, machine id, boot id, process start.
    std::string lines() const;
    // The holder a file names that begins with the line `magic` and five such lines; what follows
    // them is not read (an origin lock's beat, or what a rewrite cut short left of a longer text).
    // Nothing when the text names no holder.
    static std::optional<LockHolder> named(const std::string& text, const std::string& magic);

    bool isOnThisComputer() const;
    // On this computer: whether it is gone (see above). Always false for another computer's.
    bool isGone() const;
    // Whether it is this very process.
    bool isThisProcess() const;
    // "the computer <host>" or "process <pid>" for messages.
    std::string describe() const;
};

// The file of a mark or a lock that names its holder: made whole and locked before it has its
// name (FolderHandle::createWhole), locked with flock while held, rewritten in place only by its
// holder (the new text over the old, then cut to its length). Others open it to read what it
// says and to try its lock, never to write it: for writing as well where they may, since some
// file systems lock exclusively only what is open for writing (flock over NFS); for reading alone
// where it is another user's they may not write.
//
// Rule: a file is judged only where it provably is one of this program's (its first line), and
// never on a guess: a holder is at work while its lock is held or, on this computer, while its
// process lives; where the file system takes no locks, this computer's holder is judged by its
// process alone, and another computer's cannot be judged here (an origin lock is, by its beat).
// A lock that such a file system lets this user take only shared tells that nobody holds it,
// never that it is held here alone.
// A rewrite cut before its end (a failed write or truncate, a kill) leaves a file of the
// program's own, the new holder's lines first: it is judged by its lock and holder as any other,
// never taken for a stranger's. One that names no holder is one whose holder died at its making
// or its rewrite: gone where its lock can be taken, else possibly at work.
// A gone holder's file is taken over by replacing it with a new file of this user's, whoever
// made it, never written in place, and only while the file at its name is still the one judged:
// the new file is exchanged with it, and whatever else came out is put back (another instance
// took it over meanwhile: it is looked at again). Where the file system cannot exchange, it is
// replaced by a rename only while its lock is held here alone. One whose lock this user holds
// only shared (it keeps nobody out) is never taken over, exchange or not: only its owner may.
// Else its holder cannot be judged safely here, and it is waited for, or left, as a live one's,
// saying so. Where this user may not
// replace it (the folder is not this user's to write), it stays as it is, and that is said: whose
// it is and that this user cannot replace it.
namespace HolderFile {

enum class Verdict {
    none,     // no file of that name
    gone,     // its holder is gone beyond doubt: the file may be taken over
    atWork,   // its holder is or may be at work (lock held; process alive; no name and no locks)
    elsewhere,// another computer's holder, whose lock is free or cannot be told
    notOurs   // something else stands at the name: never touched
};

struct Look
{
    Verdict verdict = Verdict::none;
    // The file, open for reading (and writing where this user may) and locked by this process
    // where `lock` is taken or shared.
    FolderHandle::File file;
    FolderHandle::File::Lock lock = FolderHandle::File::Lock::held;
    std::string text;
    std::optional<LockHolder> holder;
    // For notOurs: what stands there, as the user would name it ("a folder", ...).
    std::string thing;
};

// Opens, locks (without waiting) and reads the file `name` of `folder`, which begins with the
// line `magic` and a holder's five lines, and judges it. A file whose holder is gone beyond doubt
// but whose lock another instance holds (one judging it at this moment) is looked at again once
// that one lets go, for a few seconds; past them it is judged as held.
Answer<Look> look(const FolderHandle& folder, const std::string& name, const std::string& magic);

// What a take-over came to.
enum class Taken {
    yes,     // the new file stands at the name, locked here
    changed, // the file at the name is no longer the one judged (taken over by another instance, or
             // gone): look again
    unsafe   // the judged file's lock is held here only shared (it keeps nobody out), or the file
             // system takes no locks and cannot exchange files: its holder cannot be judged safely
             // here, as a live one's
};
struct Replacement
{
    Taken taken = Taken::changed;
    // Where taken: the new file, locked.
    FolderHandle::File file;
};

// Takes the file `found` (locked here) over from its gone holder: replaces it in `folder` by a new
// file of this user's with the text, locked, keeping its mode, while it is still the one judged,
// and lets the old one go. Where the error is a refusal (isRefused), this user may not replace
// it: it stays as it was.
Answer<Replacement> takeOver(const FolderHandle& folder, const std::string& name, Look& found, const std::string& text);
// Whether an error of takeOver means that this user may not replace the file.
bool isRefused(int error);

// The sentence for something that is not this program's at `path`, where it keeps one of its
// files (`keeps`: what that file is for): what is in the way, where, and that it was left as it
// is. Without its end, so that the caller says what the user may do.
std::string inTheWay(const std::string& path, const std::string& thing, const std::string& keeps);
// The sentence for a gone holder's file at `path` that this user may not replace (`error`, a
// refusal): what it is (`is`: "the mark", "the lock"), the user whose save left it, and that this
// user cannot replace it. Without its end.
std::string notReplaceable(const std::string& path, const std::string& is, const Look& found, int error);
// Why a gone holder's file cannot be taken over safely here (Taken::unsafe), in words.
std::string whyUnsafe(const Look& found);
// Whether only its owner may take over a gone holder's file that cannot be taken over safely
// here: it is locked only shared for this user, who may not write it. Waiting frees nothing; a
// start as its owner does, or removing it.
bool onlyItsOwnerTakesOver(const Look& found);
// The user whose file it is, by name ("alice"; the number where the name is unknown).
std::string ownerOf(const Look& found);
// The same for a folder, where it is another user's than this one's; empty where it is this
// user's own or cannot be looked at.
std::string otherOwnerOf(const FolderHandle& folder);

// How long the maker of a new file of this program's may take between making it under a temporary
// name (where the file system has no nameless files) and locking it: a round trip or two on a
// file server, with room for one that stalls. The file's age is judged by the file system's own
// clock.
constexpr std::chrono::seconds makingTime{120};
// The name of the file a temporary name of this program's is made for (".x.morvanta-tmp-AbC123":
// "x"); the name itself where it is none.
std::string temporaryKind(const std::string& name);

// Removes a temporary file of this program's (one a file of its is made under, or set aside
// under while removed) unless a live instance holds it: every such file is locked from its
// making until its holder closes it, but for the moment before its maker locks it: an empty one
// stays while it is younger than makingTime by the file system's clock, and is not even locked
// here meanwhile (its maker's lock would meet this one's). Whether this call removed it; false
// while it is held or that young, where it was gone, or where this user cannot make a file in
// its folder to tell its age (nor remove it). It is closed before its name goes (NFS would keep
// the name as ".nfs…" else). Any instance may call it for a temporary file of the program's.
Answer<bool> removeTemporary(const FolderHandle& folder, const std::string& name);

}
