#pragma once
// The files of a new planning, written into its working folder before it is published. Every
// failure names the file as the user will know it, "the new planning's <file>" (the working
// folder means nothing to the user, and the planning's folder does not exist yet); a full disk
// is said as such.
//
// Rule: every step goes through the working folder's FolderHandle, and a cause told is the
// step's error: a file "does not exist" or "is missing" only where the step found no such entry
// (ENOENT); every other error is told by its system text.
#include "planning/io/saving/FolderHandle.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

struct PlanningFile;

namespace Vexa {
class IndexedTriangleMesh;
}

class PlanningStaging
{
public:
    // The working folder at `staging`; throws std::runtime_error when it cannot be opened.
    explicit PlanningStaging(std::filesystem::path staging);

    std::filesystem::path at(const std::filesystem::path& relative) const { return staging_ / relative; }
    const std::filesystem::path& folder() const { return staging_; }
    // The file as the user will know it.
    static std::string shown(const std::filesystem::path& relative);
    // Every mention of the working folder in `text` as the new planning.
    static std::string asShown(std::string text, const std::string& staging);
    // The failure to copy the file `from` (named as `what`) with the errno value `error`.
    static std::runtime_error cannotCopy(const std::string& what, const std::filesystem::path& from, int error);

    // Makes the folder (with those on the way) and opens it.
    FolderHandle makeFolder(const std::filesystem::path& relative) const;
    // Copies a file, checked to the last byte on the disk; with `mayLink` a hard link is made
    // instead where it can be (a file of a planning being replaced, never changed). `what` names
    // the file in the error text. An `optional` file that is not there, or no regular file, is
    // passed over: false then.
    bool placeFile(const std::filesystem::path& from, const std::filesystem::path& relative, bool mayLink,
                   const std::string& what, bool optional = false) const;
    // Writes the bytes `bytes` gives (which throws where they cannot be made) as the file.
    void writeFile(const std::filesystem::path& relative, const std::function<std::string()>& bytes) const;
    // The implant description with its surface and pictures into the folder; the description
    // keeps its name so that its relative surface name still holds.
    void copyImplantDescription(const std::string& file, const std::filesystem::path& relative) const;
    // Reads the planning file back and checks that it is the planning written and that every
    // file it names is there: only such a planning may replace another.
    void verify(const std::filesystem::path& relative, const PlanningFile& written,
                const std::shared_ptr<Vexa::IndexedTriangleMesh>& surface) const;

private:
    // Copies the open file `source` (at `from`, named `what` in the error text) as the file
    // `relative` of the folder `into`, on the disk and checked to the last byte.
    void copy(const FolderHandle::File& source, const std::filesystem::path& from, const FolderHandle& into,
              const std::filesystem::path& relative, const std::string& what) const;
    // The regular file `relative` as it is now (its bytes when `whole`); else throws `failure`
    // with the reason ("<what> is missing.", "<what> could not be read (...).").
    std::string readBack(const std::string& relative, const std::string& what, bool whole,
                         const std::string& failure) const;

    std::filesystem::path staging_;
    FolderHandle folder_;
};
