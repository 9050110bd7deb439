#pragma once
// The folder "Images" beside the program, where screenshots and videos wait until a planning is
// saved. Several instances may share it: each one knows the files it made this session and moves
// only those into its planning. Every instance holds a lock file of its own there; at start-up,
// when no other instance runs, the pictures an earlier session left are kept in "recovered"
// (never deleted), but for those a planning holds already. A name is taken by making the file
// itself, so no folder is left behind.
#include <QFileInfo>
#include <QImage>
#include <QLockFile>
#include <QDateTime>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

class ImageFolder
{
public:
    // The folder application folder + "/Images", created.
    ImageFolder();
    ~ImageFolder();
    ImageFolder(const ImageFolder&) = delete;
    ImageFolder& operator=(const ImageFolder&) = delete;

    const std::string& path() const { return path_; }
    // Whether no other instance of the program ran when this one started (this one holds its
    // lock): then what crashed sessions left behind may be cleared up.
    bool isOnlyInstance() const { return onlyInstance_; }
    // Whether this instance holds its lock here; not in a program folder it may not write.
    bool hasSessionLock() const { return lock_->isLocked(); }
    // A new time-stamp name with the extension (".bmp"), reserved by making an empty file of that
    // name, which this session then owns; its full path. Throws std::runtime_error with the reason.
    std::string reserveFile(const std::string& extension);
    // Removes a reserved file that was not written after all.
    void discard(const std::string& file);
    // Saves the picture as a BMP under a new name, whole or not at all (the name shows only once
    // the file is complete); its full path. Throws std::runtime_error with the reason (and leaves
    // no file) when it is not on the disk.
    std::string saveScreenshot(const QImage& picture);
    // Whether this session made the file (a name in the folder). A video's continuation files
    // ("<name>_2.avi") belong to the session that made "<name>.avi".
    bool isOwn(const QString& fileName) const;
    // The pictures of this session's that are here now (full paths); a saved planning takes them.
    std::vector<std::string> ownFiles() const;
    // While no other instance runs: the pictures an earlier session left go into "recovered",
    // but for those `inPlanning` finds in a planning already (a save cut off after it had put
    // them there), which go; leftovers of cut-off writes go. One line for each picture kept. Only
    // files that were there when this session took its lock are touched, never by their times (the
    // program folder's clock may run behind): it may run beside the session's own pictures, and a
    // later instance's.
    std::vector<std::string> recoverEarlierSession(const std::function<bool(const std::string&)>& inPlanning) const;

private:
    // Draws time-stamp names until `place` (which makes the file, an errno value or 0) finds one
    // free; the file's path, owned by this session.
    std::string placeUnderNewName(const std::function<int(const std::string&)>& place, const std::string& extension);
    bool anotherInstanceRuns() const;
    // Whether the file is one an earlier session left (earlier_), still the very file.
    bool isEarlier(const QFileInfo& file) const;

    std::string path_;
    // With onlyInstance_: the files that were here when this session took its lock, by name, each
    // with its identity (device, inode): an earlier session's.
    std::map<QString, std::pair<dev_t, ino_t>> earlier_;
    std::unique_ptr<QLockFile> lock_;
    std::set<QString> own_;
    bool onlyInstance_ = false;
};
