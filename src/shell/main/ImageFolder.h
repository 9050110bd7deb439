#pragma once
// The folder "Images" beside the program, where screenshots and videos wait until a planning is
// saved. At start-up the pictures an earlier session left are kept in "recovered" (never
// deleted), and nothing is touched while another running instance holds the folder.
#include <QImage>
#include <QLockFile>
#include <memory>
#include <string>

class ImageFolder
{
public:
    // The folder application folder + "/Images", created.
    ImageFolder();
    ~ImageFolder();

    const std::string& path() const { return path_; }
    // A new time-stamp name reserved in the folder (an empty sub-folder of that name).
    std::string reserveName() const;
    // Saves the picture as a BMP under a new name; the file name, or "" when it was not written.
    std::string saveScreenshot(const QImage& picture) const;
    // Moves every file of the folder into `target` (created): copy, verify, delete. A file that
    // cannot be moved stays here. True when all were moved.
    bool moveFilesTo(const std::string& target) const;

private:
    void recoverEarlierSession() const;

    std::string path_;
    std::unique_ptr<QLockFile> lock_;
};
