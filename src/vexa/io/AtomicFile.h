#pragma once
// A file that is written whole or not at all.
//
// The bytes go to a hidden temporary file beside the target; commit() syncs it to the disk,
// checks that every byte is there, and only then renames it over the target, so the old file
// stays as it was until the new one is complete. The new file keeps the mode of the one it
// replaces; a file that is new, and one appendFile makes, follows the user's umask (0666 before
// it), as in every program, so that a folder a group shares stays the group's. Every write, the sync and the close are
// checked: a full disk (which buffered writers such as QSaveFile can let pass on some
// versions, leaving a cut or empty file behind) is always an error here.
//
// Errors are WriteError (a std::runtime_error) with a text "Could not write FILE: REASON"
// ("The disk is full: FILE could not be written." on ENOSPC and EDQUOT), carrying the errno
// value so that a caller can word its own message without reading the text.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace Vexa {

class WriteError : public std::runtime_error
{
public:
    // The text is AtomicFile::failureText(path, error) unless given.
    WriteError(const std::string& path, int error);
    WriteError(const std::string& path, int error, const std::string& text)
        : std::runtime_error(text), path_(path), error_(error)
    {
    }
    const std::string& path() const { return path_; }
    int error() const { return error_; }
    bool isDiskFull() const;

private:
    std::string path_;
    int error_;
};

class AtomicFile
{
public:
    // Opens the temporary file. With `directFallback`, a target that exists in a folder where
    // no file can be made (but the target itself may be written) is rewritten in place.
    explicit AtomicFile(std::string path, bool directFallback = false);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(const void* data, std::size_t size);
    void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }

    // Makes the written bytes the target's contents; throws (and leaves the target as it was,
    // but for the in-place fallback) when they are not all on the disk.
    void commit();

    const std::string& path() const { return path_; }

    // Whether a file name is one of the temporary files this class writes, which a crash leaves
    // behind: "." + the target's name + temporaryTag + six characters. Nobody else's file is
    // named so.
    static constexpr char temporaryTag[] = ".morvanta-tmp-";
    static bool isTemporaryName(std::string_view name);
    // A temporary name of that kind for the file `name` (a name, no folder), freshly drawn.
    static std::string temporaryNameFor(std::string_view name);
    // Makes a new temporary file beside `path` (never through a link, 0666 before the umask);
    // its path goes into `temporary`. The descriptor, opened with `access` (O_WRONLY or O_RDWR),
    // or -1 with errno set.
    static int createTemporaryBeside(const std::string& path, std::string& temporary, int access);

    // The whole file in one call.
    static void writeFile(const std::string& path, std::string_view bytes, bool directFallback = false);
    // A copy of `from` at `to`, whole or not at all.
    static void copyFile(const std::string& from, const std::string& to);
    // Appends `bytes` to `path` (made when missing) and syncs them; on a failure the file is cut
    // back to what it held, so it never ends in half a record.
    static void appendFile(const std::string& path, std::string_view bytes);

    // Writes all of `bytes` at the descriptor's position, going on after a short write or a
    // signal; 0, or the errno value of the write that failed (ENOSPC where one wrote nothing).
    static int writeAll(int fd, std::string_view bytes);

    // The error text for a failed write of `path` with errno value `error`.
    static std::string failureText(const std::string& path, int error);
    // Whether `error` (an errno value) means that the disk has no room left.
    static bool isDiskFull(int error);

private:
    [[noreturn]] void fail(int error);

    std::string path_;
    std::string temporary_; // empty when writing in place
    int fd_ = -1;
    std::size_t written_ = 0;
    bool committed_ = false;
};

}
