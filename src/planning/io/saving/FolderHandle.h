#pragma once
// The one place that knows how saving and start-up steps reach the disk below a patient folder.
//
// Rule: a folder is opened once, never through a symbolic link, and every later step in it
// (looking at an entry, opening a sub-folder, renaming, removing, making) is made relative to
// that open folder. A link put in the way between a look and a step is never followed: a
// sub-folder that is a link does not open, and a rename or removal acts on the link itself.
// Only the path the user configured (a patient folder) or that a caller already holds may lead
// through links to the first folder opened.
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

class FolderHandle
{
public:
    enum class Kind { none, file, folder, link, other };

    // An invalid handle.
    FolderHandle() = default;
    // Opens the folder at `path`; links on the way and the path itself are followed when
    // `followLinks`, else the last name must be a real folder. Invalid when it does not open
    // (error() tells why).
    static FolderHandle open(const std::string& path, bool followLinks = false);

    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();

    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // The errno value of a failed open; 0 for a valid handle.
    int error() const { return error_; }
    int fd() const { return fd_; }
    // The path it was opened by (for messages; the folder may have been renamed since).
    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

    // Whether both handles are open on one folder.
    bool isSameFolder(const FolderHandle& other) const;
    // A real sub-folder (a link does not open); `relative` may hold several names.
    FolderHandle child(const std::string& relative) const;
    // The same folder once more, as a handle of its own.
    FolderHandle again() const;

    // The entries, sorted, without "." and "..".
    std::vector<std::string> entries() const;
    // What the entry is, links counted as links.
    Kind kind(const std::string& name) const;
    bool isFile(const std::string& name) const { return kind(name) == Kind::file; }
    bool isFolder(const std::string& name) const { return kind(name) == Kind::folder; }
    bool has(const std::string& name) const { return kind(name) != Kind::none; }
    // The entry's status (links not followed).
    std::optional<struct stat> status(const std::string& name) const;
    // Whether it holds nothing (false when it cannot be read).
    bool isEmpty() const;

    // Renames `name` to `toName` in `to` unless something holds that name there (then EEXIST);
    // 0 or the errno value.
    int moveTo(const std::string& name, const FolderHandle& to, const std::string& toName) const;
    // Renames as rename(2) does: an empty folder at the target is replaced.
    int replace(const std::string& name, const FolderHandle& to, const std::string& toName) const;
    // Removes a file or a link (never what it points to); 0 or the errno value.
    int removeFile(const std::string& name) const;
    // Removes an empty sub-folder; 0 or the errno value.
    int removeFolder(const std::string& name) const;
    // Removes a sub-folder with everything in it, links as links; 0 or the first errno value
    // of what stayed.
    int removeAll(const std::string& name) const;
    // Makes a sub-folder; 0, EEXIST or the errno value.
    int makeFolder(const std::string& name) const;

    // Whether this process may remove the entry `name` from this folder: 0 or the errno value
    // (EACCES for a folder of another account's, EPERM where only an entry's owner may, EROFS).
    int mayRemove(const std::string& name) const;

    // The bytes of a regular file (never through a link, never blocking on a pipe), at most
    // `limit` of them; nothing when it is no regular file or cannot be read.
    std::optional<std::string> read(const std::string& name, std::size_t limit = 1 << 20) const;
    // The file's size and its contents' SHA-256 in hex, "<size> <hash>": what tells one
    // planning file from another on every computer; empty when it cannot be read.
    std::string contentKey(const std::string& name) const;
    // Whether two files hold the same bytes (the same file counts).
    static bool sameBytes(const FolderHandle& a, const std::string& aName, const FolderHandle& b,
                          const std::string& bName);
    // The bytes of the files below the folder, links not followed.
    std::uintmax_t treeSize() const;

    // Puts what was done in the folder (renames, removals) on the disk.
    void sync() const;

private:
    FolderHandle(int fd, std::string path, int error) : fd_(fd), error_(error), path_(std::move(path)) {}

    // The entries, sorted (only the first one found with `firstOnly`); nothing when the folder
    // cannot be read.
    std::optional<std::vector<std::string>> list(bool firstOnly) const;

    int fd_ = -1;
    int error_ = 0;
    std::string path_;
};
