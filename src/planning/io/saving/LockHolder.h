#pragma once
// Who holds a save's mark or an origin lock: a program instance, named by its computer (machine
// id and host name), that computer's boot and its process (number and start time).
//
// Rule: a holder is known to be gone only on its own computer (the same machine id where both
// have one, whatever the host name is now; else the same host name): when that computer has
// restarted since, or its process has ended (its number free, or taken by a later process).
// Another computer's process cannot be looked at from here.
#include "planning/io/saving/FolderHandle.h"

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
    // The holder a file names that begins with the line `magic` and five such lines; with
    // `whole`, nothing may follow them. Nothing when the text is no such file's.
    static std::optional<LockHolder> named(const std::string& text, const std::string& magic, bool whole);

    bool isOnThisComputer() const;
    // On this computer: whether it is gone (see above). Always false for another computer's.
    bool isGone() const;
    // "the computer <host>" or "process <pid>" for messages.
    std::string describe() const;
};

// The file of a mark or a lock that names its holder: locked with flock while held, read and
// written whole.
namespace HolderFile {

enum class Lock { taken, held, none };
// Locks without waiting: taken, held by another holder, or none (a file system without locks,
// which leaves the judging to the holder's name).
Lock lock(int fd);
// Whether the open file is still the one of that name in the folder (its holder may have
// removed it meanwhile).
bool isSameFile(int fd, const FolderHandle& folder, const std::string& name);
// Writes the text from the file's start; false when not all of it got there.
bool writeAll(int fd, const std::string& text);
// At most `limit` bytes from the file's start.
std::string readAll(int fd, std::size_t limit);

}
