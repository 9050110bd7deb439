#pragma once
// The one place that knows how saving and start-up steps reach the disk below a patient folder.
//
// Rule: a folder is opened once, never through a symbolic link, and every later step in it
// (looking at an entry, opening a sub-folder or a file, renaming, removing, making) is made
// relative to that open folder. A link put in the way between a look and a step is never
// followed: a sub-folder that is a link does not open, and a rename or removal acts on the link
// itself. Only the path the user configured (a patient folder) or that a caller already holds
// may lead through links to the first folder opened.
//
// Every step gives its answer or its error (Answer; Answer<Done> for a change): a failed
// listing, look, read or lock is never "empty", "not there", "another file" or "nobody holds
// it". Every system call goes through one table (SystemCall), which a test may fail call by call.
//
// What it makes follows the user's umask, as in every program (files 0666 and folders 0777
// before it), so that a folder a group shares stays the group's; a file it replaces keeps its
// mode. Files of this program's that name a holder (marks, locks) are only read by others:
// looking at them never needs the right to write them, but they are opened for writing where
// this user may, since some file systems lock exclusively only what is open for writing.
#include "planning/io/saving/Answer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

class FolderHandle
{
public:
    enum class Kind { none, file, folder, link, other };

    // The system calls the steps are made of. An exclusive lock on a file open for reading alone
    // is asked as `lock` and then once more as lockReadOnly, an exchange of two entries as `rename`
    // and then once more as `exchange`, and an open of a file without a name (O_TMPFILE) as `open`
    // and then once more as `openNameless`, so that a test may refuse just those as the NFS client
    // does (EBADF; EINVAL; EOPNOTSUPP).
    enum class SystemCall { open, duplicate, status, list, read, write, truncate, sync, lock, rename, remove, makeFolder, link, access, mode,
                            lockReadOnly, exchange, openNameless };
    // For tests: called before every system call of every handle (also from other threads) with
    // the path of what it is made on (a folder's path and "/" and the name for a call on an
    // entry); a non-zero return fails that call with that errno value. An empty function ends it.
    static void setFaultInjector(std::function<int(SystemCall, const std::string& path)> injector);
    // For tests: the NFS client's "silly rename". A file of this process's that is still open when
    // its name is removed (or renamed over) goes to a ".nfs…" name in its folder instead, which
    // cannot be removed (EBUSY) while it is open and goes when its last File closes; its folder
    // cannot be removed meanwhile. Only Files opened while it is on count.
    static void imitateSillyRename(bool on);
    // For tests: the file system's clock read this much later (as by a start that comes so long
    // after), for what is judged by its age there (isNew).
    static void setClockAhead(std::chrono::seconds ahead);
    // For tests: the file system's clock runs `offset` ahead of this computer's (behind where
    // negative), as a file server's does that is not set alike: every time it stamps on what it
    // holds reads so here.
    static void setServerClockOffset(std::chrono::seconds offset);

    // A file opened in a folder, closed with it.
    class File
    {
    public:
        enum class Lock {
            taken,      // this process holds the lock now, alone
            shared,     // nobody holds it, but this process holds it only shared: the file system locks
                        // exclusively only what is open for writing (flock over NFS), and this file is
                        // open for reading alone. It keeps nobody else out.
            held,       // another open file holds it
            unsupported // the file system takes no locks (a network share without its lock service)
        };

        File() = default;
        File(File&& other) noexcept;
        File& operator=(File&& other) noexcept;
        File(const File&) = delete;
        File& operator=(const File&) = delete;
        ~File();

        bool isOpen() const { return fd_ >= 0; }
        // The open descriptor, for a record that grows by the caller's own writes; -1 when closed.
        int descriptor() const { return fd_; }
        // An exclusive lock without waiting, let go when the file closes. Where the file system
        // locks exclusively only what is open for writing (flock over NFS) and the file is open
        // for reading alone, a shared lock tells whether anyone else holds it (shared): never
        // that it is held here alone.
        Answer<Lock> lock() const;
        Answer<struct stat> status() const;
        // At most `limit` bytes from the file's start.
        Answer<std::string> readAll(std::size_t limit) const;
        // At most `size` bytes from `at` on; fewer only at the file's end.
        Answer<std::string> readAt(std::uintmax_t at, std::size_t size) const;
        // Writes all of the bytes at `at`.
        Answer<Done> writeAt(std::uintmax_t at, const std::string& bytes) const;
        // Puts what was written on the disk.
        Answer<Done> sync() const;
        // Makes the text the file's whole contents (a holder's own file, open for writing).
        Answer<Done> rewrite(const std::string& text) const;
        // Whether the entry `name` of `folder` is still this very file (its holder may have removed
        // or replaced it meanwhile); false when there is no such entry.
        Answer<bool> isAt(const FolderHandle& folder, const std::string& name) const;
        // Removes the entry `name` of `folder` while it is still this very file, closed first so
        // that NFS keeps no ".nfs…" name of it (it is closed in any case; the file stays where the
        // removal fails). `removed` tells whether this call removed it (else it was gone, or
        // another file stood there by then).
        Answer<Done> removeFrom(const FolderHandle& folder, const std::string& name, bool* removed = nullptr);
        void close();
        // Closes, answering whether the temporary name it was made under (where the file system
        // has no nameless files) went as well.
        Answer<Done> finish();

    private:
        friend class FolderHandle;
        explicit File(int fd);
        int fd_ = -1;
        // A second name of the file's (in the open folder `namedIn_`), removed once it is closed:
        // the temporary name it was made under where the file system has no nameless files.
        int namedIn_ = -1;
        std::string secondName_;
    };

    // An invalid handle.
    FolderHandle() = default;
    // Opens the folder at `path`; links on the way and the path itself are followed when
    // `followLinks`, else the last name must be a real folder. Invalid when it does not open
    // (error() tells why).
    static FolderHandle open(const std::string& path, bool followLinks = false);
    // Opens the folder at `path` as open() does with `followLinks`, making it and the folders above
    // it where they are missing (a patient folder before its first save).
    static FolderHandle make(const std::string& path);
    // The path in its plain absolute form, so that "a/b/", "a/./b" and "a/b" read alike.
    static std::string plainPath(const std::string& path);

    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();

    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // The errno value of a failed open; 0 for a valid handle. ENOENT: there is no such entry;
    // ENOTDIR: it is no folder (or a link).
    int error() const { return error_; }
    // Whether it did not open because no folder has that name: nothing is there (ENOENT), or a
    // file or a link is (ENOTDIR). An answer, where every other error is not.
    bool isNoFolder() const { return error_ == ENOENT || error_ == ENOTDIR; }
    // Why it did not open, as the failure of a step on it (naming it).
    Failure failure() const { return {error_ ? error_ : EBADF, path_}; }
    // The path it was opened by (for messages; the folder may have been renamed since).
    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

    // Whether both handles are open on one folder.
    Answer<bool> isSameFolder(const FolderHandle& other) const;
    // A real sub-folder (a link does not open); `relative` may hold several names.
    FolderHandle child(const std::string& relative) const;
    // The same folder once more, as a handle of its own.
    FolderHandle again() const;

    // The entries, sorted, without "." and "..".
    Answer<std::vector<std::string>> entries() const;
    // What the entry is, links counted as links; none when there is no such entry.
    Answer<Kind> kind(const std::string& name) const;
    Answer<bool> isFile(const std::string& name) const;
    Answer<bool> isFolder(const std::string& name) const;
    Answer<bool> has(const std::string& name) const;
    // The entry's status (links not followed); ENOENT when there is no such entry.
    Answer<struct stat> status(const std::string& name) const;
    // Whether it holds nothing.
    Answer<bool> isEmpty() const;
    // The time now by the clock of the file system that holds the folder (a file server's, never
    // this computer's): a fresh file made in it under a temporary name of `kind` (a file name, as
    // Vexa::AtomicFile names its temporary files) tells it, and goes again.
    Answer<std::chrono::nanoseconds> timeThere(const std::string& kind) const;
    // Whether the entry `name` changed last less than `within` ago by that clock (timeThere, the
    // fresh file made beside it). The newer of its change and modification times counts. ENOENT
    // when there is no such entry.
    Answer<bool> isNew(const std::string& name, const std::string& kind, std::chrono::seconds within) const;

    // Renames `name` to `toName` in `to` unless something holds that name there (then EEXIST).
    Answer<Done> moveTo(const std::string& name, const FolderHandle& to, const std::string& toName) const;
    // Renames as rename(2) does: an empty folder at the target is replaced.
    Answer<Done> replace(const std::string& name, const FolderHandle& to, const std::string& toName) const;
    // Exchanges the entries `name` and `other` in one step; EINVAL or ENOSYS where the file
    // system cannot (NFS).
    Answer<Done> exchange(const std::string& name, const std::string& other) const;
    // Removes a file or a link (never what it points to).
    Answer<Done> removeFile(const std::string& name) const;
    // Removes an empty sub-folder.
    Answer<Done> removeFolder(const std::string& name) const;
    // Removes a sub-folder with everything in it, links as links (or a file); done when nothing of
    // it is left, else the first error.
    Answer<Done> removeAll(const std::string& name) const;
    // Makes a sub-folder (EEXIST where something has the name).
    Answer<Done> makeFolder(const std::string& name) const;

    // Whether this process may remove the entry `name` from this folder: done, or the error that
    // keeps it from it (EACCES for a folder of another account's, EPERM where only an entry's
    // owner may, EROFS).
    Answer<Done> mayRemove(const std::string& name) const;

    // An existing file, opened for reading without following a link and without blocking on a
    // pipe; ENOENT when there is none, ELOOP for a link.
    Answer<File> openFile(const std::string& name) const;
    // The same, but open for writing as well where this user may (never made or cut), so that its
    // lock may be exclusive on a file system that locks exclusively only what is open for
    // writing; for reading alone where writing it is refused.
    Answer<File> openToLock(const std::string& name) const;
    // Makes the file `name` with the text as its contents, on the disk, in one step: nobody ever
    // sees it without them, nor unlocked (where the file system takes locks), but under its
    // temporary name where the file system has no nameless files, for the moment before it is
    // locked; should that name go meanwhile, or another hold its lock at that moment (a start
    // judging it), it is made again: its maker never goes on without its lock. EEXIST when
    // something holds that name; EWOULDBLOCK when another held the lock at each of its tries
    // (whyNotMade says so).
    Answer<File> createWhole(const std::string& name, const std::string& text) const;
    // Why a new file could not be made (createWhole and the steps made of it), in words: the
    // system's, but for a lock that another instance held at each try (EWOULDBLOCK), which is
    // told as what it is: a moment's hold elsewhere, over by now. `file`: how the words name it.
    static std::string whyNotMade(int error, const std::string& file = "it");
    // The same with the first `size` bytes of `from` as its contents, copied a block at a time;
    // ECANCELED, with nothing made, once `stop` says so between two blocks.
    Answer<File> createCopy(const std::string& name, const File& from, std::uintmax_t size,
                            const std::function<bool()>& stop = {}) const;
    // Replaces the file `name` (or makes it) by a new one of this user's with the text, made as
    // createWhole makes it, in one rename; it keeps the mode of the file it replaces. On an
    // error the file is as it was.
    Answer<File> replaceWhole(const std::string& name, const std::string& text) const;
    // The same, the new file closed once it has the name.
    Answer<Done> writeWhole(const std::string& name, const std::string& text) const;
    // Replaces the file `name`, while it still is the open file `judged`, by a new one made as
    // replaceWhole makes it, with the mode of `judged`: the new file is exchanged with what stands
    // at the name (renameat2 RENAME_EXCHANGE); what came out goes where it is `judged` (closed
    // first), anything else is put back and the new file goes: nothing then (the file at the name
    // changed meanwhile, or went). The new file is answered once it stands at the name. Where the
    // file system cannot exchange (EINVAL, ENOSYS; NFS cannot), with `orRename` (the caller holds
    // the exclusive lock of `judged`, which keeps every other taker out), `judged` is renamed
    // aside, closed and removed, and the new file linked in where nobody made one meanwhile; else
    // that error. On an error the file at the name is as it was. No name is removed here while
    // its file is open here: NFS would keep it as ".nfs…".
    Answer<std::optional<File>> replaceWholeIf(const std::string& name, const std::string& text, File& judged,
                                               bool orRename) const;

    // The bytes of a regular file (never through a link, never blocking on a pipe), at most
    // `limit` of them; nothing when no regular file has that name (none, a link, a folder, a pipe).
    Answer<std::optional<std::string>> read(const std::string& name, std::size_t limit = 1 << 20) const;
    // The file's size and its contents' SHA-256 in hex, "<size> <hash>": what tells one
    // planning file from another on every computer; empty when no regular file has that name.
    Answer<std::string> contentKey(const std::string& name) const;
    // Whether two regular files hold the same bytes (the same file counts); false where either
    // is no regular file.
    static Answer<bool> sameBytes(const FolderHandle& a, const std::string& aName, const FolderHandle& b,
                                  const std::string& bName);
    // The bytes of the files below the folder, links not followed.
    Answer<std::uintmax_t> treeSize() const;

    // Puts what was done in the folder (renames, removals) on the disk.
    Answer<Done> sync() const;

private:
    FolderHandle(int fd, std::string path, int error) : fd_(fd), error_(error), path_(std::move(path)) {}

    // The entries, sorted (only the first one found with `firstOnly`).
    Answer<std::vector<std::string>> list(bool firstOnly) const;
    // createWhole; a `temporaryName` (nobody else's to look at) is made at once where the file
    // system has no nameless files.
    Answer<File> createWholeAt(const std::string& name, const std::string& text, bool temporaryName) const;
    // The same, `fill` writing the contents into the new file (0, or the errno value of its failure);
    // it may be called again should the temporary name go before the file was locked.
    Answer<File> createFilledAt(const std::string& name, const std::function<int(int fd)>& fill, bool temporaryName) const;
    // One attempt of it; `temporary`: the temporary name the file stood at, if any.
    Answer<File> createFilledOnce(const std::string& name, const std::function<int(int fd)>& fill, bool temporaryName,
                                  std::string& temporary) const;
    // A new file made as createWhole makes it, at a temporary name beside `name` (in `temporary`),
    // with `mode` where given.
    Answer<File> createWholeBeside(const std::string& name, const std::string& text, std::optional<mode_t> mode,
                                   std::string& temporary) const;

    int fd_ = -1;
    int error_ = 0;
    std::string path_;

public:
    // ---- The steps of a save's staging and read-back ----

    // The file at a path the caller holds, links on the way and at its end followed (the user's
    // own files, a series or a description, may be reached so), open for reading without blocking
    // on a pipe.
    static Answer<File> openPath(const std::string& path);
    // What is at such a path, links followed; none when nothing is there (ENOENT, ENOTDIR).
    static Answer<Kind> kindAt(const std::string& path);

    // What the entry at `relative` below this folder is, sub-folders opened without links; none
    // when it or a folder on the way is not there.
    Answer<Kind> kindBelow(const std::string& relative) const;
    // The bytes of the regular file at `relative` below this folder, as read() gives them; nothing
    // also when a folder on the way is not there.
    Answer<std::optional<std::string>> readBelow(const std::string& relative, std::size_t limit = 1 << 20) const;

    // Gives the open file the name `name` here as well: a hard link of that very file, whatever
    // stands at the path it was opened by now (EEXIST where something has the name).
    Answer<Done> linkIn(const File& file, const std::string& name) const;
};
