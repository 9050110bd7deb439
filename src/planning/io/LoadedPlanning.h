#pragma once
// Where the planning this session loaded (or last saved) is now, and where its files are.
//
// Rule: the planning is its planning file's contents as loaded or saved (the settings' planning
// identity). It is where it was loaded while that file is there; else in a folder of its origin
// whose planning file holds those very bytes: the user moved or renamed it, and it is the same
// planning. Else, when a folder of its origin holds a planning, another instance saved it again
// meanwhile (its replacement), and overwriting would throw that work away.
#include "planning/io/saving/Answer.h"

#include <filesystem>
#include <string>
#include <vector>

class Settings;

class LoadedPlanning
{
public:
    explicit LoadedPlanning(const Settings& settings);

    // Whether a planning was loaded or saved in this session.
    bool isSet() const { return !loadedFile_.empty(); }
    const std::string& loadedFolder() const { return loadedFolder_; }
    // The name of the folder the planning was first saved in.
    const std::string& origin() const { return origin_; }
    // Where the planning is now: the folder loaded, or the one it was moved to; empty when
    // neither holds it.
    const std::string& folder() const { return folder_; }
    // Its planning file's name.
    std::string fileName() const;
    bool wasMoved() const { return moved_; }
    // The folder that holds the planning saved again by another instance; empty when none.
    const std::string& replacement() const { return replacement_; }
    // The text that refuses an overwrite of a planning saved again meanwhile.
    std::string savedAgainText(const std::string& now) const;

    // Looks again where the planning is (once another instance may have published its save).
    void lookAgain();

    // A file of the loaded planning where it is now: where it was, else at its place in the
    // folder the planning was moved to, else in its replacement. A look that fails is no answer.
    Answer<std::filesystem::path> locate(const std::string& file) const;
    // An implant description of the loaded planning that is gone and that no planning of it holds
    // any longer where it was (the other instance changed the implants): one of that name in the
    // replacement, else in the implant database.
    Answer<std::filesystem::path> locateDescription(const std::string& file) const;
    // Whether a file lies in the planning loaded (where it was or where it is now).
    bool holds(const std::filesystem::path& file) const;

private:
    std::vector<std::string> patientPaths_;
    std::string loadedFile_;
    std::string loadedFolder_;
    std::string origin_;
    std::string identity_;
    std::string folder_;
    std::string replacement_;
    bool moved_ = false;
};
