#pragma once
// The files of a new planning, written into its working folder before it is published. Every
// failure names the file as the user will know it, "the new planning's <file>" (the working
// folder means nothing to the user, and the planning's folder does not exist yet); a full disk
// is said as such.
#include <filesystem>
#include <memory>
#include <string>

struct PlanningFile;

namespace Vexa {
class IndexedTriangleMesh;
}

class PlanningStaging
{
public:
    explicit PlanningStaging(std::filesystem::path staging) : staging_(std::move(staging)) {}

    std::filesystem::path at(const std::filesystem::path& relative) const { return staging_ / relative; }
    const std::filesystem::path& folder() const { return staging_; }
    // The file as the user will know it.
    static std::string shown(const std::filesystem::path& relative);
    // Every mention of the working folder in `text` as the new planning.
    static std::string asShown(std::string text, const std::string& staging);

    void makeFolder(const std::filesystem::path& relative) const;
    // Copies a file, checked to the last byte on the disk; with `mayLink` a hard link is made
    // instead where it can be (a file of a planning being replaced, never changed). `what` names
    // the file in the error text.
    void placeFile(const std::filesystem::path& from, const std::filesystem::path& relative, bool mayLink,
                   const std::string& what) const;
    // Writes through `write` (a function of the file's path that throws on failure).
    template<class Write>
    void writeFile(const std::filesystem::path& relative, Write write) const
    {
        try {
            write(at(relative).string());
        } catch (const std::exception& e) {
            failedToWrite(relative, e);
        }
    }
    // The implant description with its surface and pictures into the folder; the description
    // keeps its name so that its relative surface name still holds.
    void copyImplantDescription(const std::string& file, const std::filesystem::path& relative) const;
    // Reads the planning file back and checks that it is the planning written and that every
    // file it names is there: only such a planning may replace another.
    void verify(const std::filesystem::path& relative, const PlanningFile& written,
                const std::shared_ptr<Vexa::IndexedTriangleMesh>& surface) const;

private:
    [[noreturn]] void failedToWrite(const std::filesystem::path& relative, const std::exception& e) const;

    std::filesystem::path staging_;
};
