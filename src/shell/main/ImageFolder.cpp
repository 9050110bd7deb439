#include "shell/main/ImageFolder.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "vexa/io/AtomicFile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUuid>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

QByteArray digest(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result();
}

// Moves one file without ever replacing one at the target: a hard link where both sit on one
// file system, else a synced copy that is compared with the source before the source goes.
// The reason when the file stays where it was, "" when it was moved.
std::string moveFile(const QString& from, const QString& to)
{
    const std::string source = from.toStdString(), target = to.toStdString();
    if (QFile::exists(to))
        return "a file of that name is already there";
    if (::link(source.c_str(), target.c_str()) != 0) {
        if (errno == EEXIST)
            return "a file of that name is already there";
        try {
            Vexa::AtomicFile::copyFile(source, target);
        } catch (const std::exception& e) {
            return e.what();
        }
        const QByteArray copied = digest(to);
        if (copied.isEmpty() || copied != digest(from)) {
            QFile::remove(to);
            return "the copy differs from the picture";
        }
    }
    if (::unlink(source.c_str()) != 0)
        Platform::outputDebugString("the moved picture " + source + " stays in Images too: " + std::strerror(errno) + "\n");
    return {};
}

// Whether the lock file is held by a running process; a stale one is removed on the way.
bool isHeld(const QString& lockFile)
{
    QLockFile other(lockFile);
    // Only a dead owner makes it stale, however old it is.
    other.setStaleLockTime(0);
    // A lock naming this very process on this computer is not this session's (which holds its own
    // file): a session that died in another process namespace, where it had the same number.
    qint64 pid = 0;
    QString host, program;
    if (other.getLockInfo(&pid, &host, &program) && pid == QCoreApplication::applicationPid() &&
        host == QSysInfo::machineHostName())
        return !other.removeStaleLockFile();
    if (other.tryLock(0)) {
        other.unlock();
        return false;
    }
    return true;
}

}

ImageFolder::ImageFolder() : path_(Platform::applicationPath("Images"))
{
    const QString folder = QString::fromStdString(path_);
    QDir().mkpath(folder);
    lock_ = std::make_unique<QLockFile>(folder + "/.session-" + QUuid::createUuid().toString(QUuid::WithoutBraces) +
                                        ".lock");
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        Platform::outputDebugString("no session lock in " + path_ + "; the pictures of earlier sessions stay\n");
        return;
    }
    if (anotherInstanceRuns()) {
        Platform::outputDebugString("Images is used by another running instance; its files stay\n");
        return;
    }
    onlyInstance_ = true;
    // What is here now, with this session's lock held and no other instance running, an earlier
    // session left: whatever comes later is this session's or a later instance's (which sees this
    // lock), whatever its time says.
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (struct stat status{}; ::lstat(QDir(folder).filePath(name).toLocal8Bit().constData(), &status) == 0)
            earlier_.emplace(name, std::pair(status.st_dev, status.st_ino));
}

bool ImageFolder::isEarlier(const QFileInfo& file) const
{
    const auto found = earlier_.find(file.fileName());
    struct stat status{};
    return found != earlier_.end() && ::lstat(file.filePath().toLocal8Bit().constData(), &status) == 0 &&
           std::pair(status.st_dev, status.st_ino) == found->second;
}

ImageFolder::~ImageFolder() = default;

bool ImageFolder::anotherInstanceRuns() const
{
    const QDir folder(QString::fromStdString(path_));
    for (const QString& name : folder.entryList({".session*.lock"}, QDir::Files | QDir::Hidden)) {
        const QString file = folder.filePath(name);
        if (file != lock_->fileName() && isHeld(file))
            return true;
    }
    return false;
}

std::vector<std::string> ImageFolder::recoverEarlierSession(const std::function<bool(const std::string&)>& inPlanning) const
{
    std::vector<std::string> kept;
    if (!onlyInstance_)
        return kept;
    QDir folder(QString::fromStdString(path_));
    const QString recovered = folder.filePath("recovered");
    for (const QFileInfo& file : folder.entryInfoList({"*.bmp", "*.avi"}, QDir::Files)) {
        if (!isEarlier(file))
            continue;
        const std::string path = file.filePath().toStdString();
        if (inPlanning && inPlanning(path)) {
            const int error = FolderHandle::open(path_, true).removeFile(file.fileName().toStdString()).error();
            Platform::outputDebugString("the picture " + path + " of an earlier session is in a planning already" +
                                        (error ? ", but could not be removed: " + std::string(std::strerror(error)) : "") +
                                        "\n");
            continue;
        }
        if (!QDir().mkpath(recovered))
            break;
        const std::string reason = moveFile(file.filePath(), recovered + "/" + file.fileName());
        const std::string what = file.suffix().toLower() == "avi" ? "The video " : "The picture ";
        kept.push_back(what + path + " of an earlier session " +
                       (reason.empty() ? "is kept in " + recovered.toStdString()
                                       : "could not be moved into " + recovered.toStdString() + " (" + reason +
                                             ") and stays where it is") +
                       ".");
    }
    // Pictures that a crash caught before they were named, and copies cut short: names only this
    // program gives. Not this session's: it may be taking a screenshot while this runs.
    static const QRegularExpression staged("^\\.staged-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.bmp$");
    for (const QFileInfo& file : folder.entryInfoList(QDir::Files | QDir::Hidden))
        if ((staged.match(file.fileName()).hasMatch() || Vexa::AtomicFile::isTemporaryName(file.fileName().toStdString())) &&
            isEarlier(file))
            folder.remove(file.fileName());
    // Earlier versions reserved every name with an empty folder of a time-stamp name; only empty
    // ones go.
    static const QRegularExpression reserved("^\\d{4}-\\d\\d-\\d\\d__\\d\\d-\\d\\d-\\d\\d-\\d{1,3}$");
    for (const QString& sub : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (reserved.match(sub).hasMatch())
            folder.rmdir(sub);
    return kept;
}

std::string ImageFolder::reserveFile(const std::string& extension)
{
    return placeUnderNewName([](const std::string& file) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0 ? 0 : errno;
    }, extension);
}

std::string ImageFolder::placeUnderNewName(const std::function<int(const std::string&)>& place,
                                           const std::string& extension)
{
    // As for every new name: the current time, drawn again until it is free.
    for (int i = 0; i < 49; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string name = Utilities::getTimeStampName(Utilities::currentDateTime()) + extension;
        const std::string file = path_ + "/" + name;
        const int error = place(file);
        if (error == 0) {
            own_.insert(QString::fromStdString(name));
            return file;
        }
        if (error != EEXIST)
            throw std::runtime_error(Vexa::AtomicFile::failureText(file, error));
    }
    throw std::runtime_error("could not determine unique file");
}

void ImageFolder::discard(const std::string& file)
{
    QFile::remove(QString::fromStdString(file));
    own_.erase(QFileInfo(QString::fromStdString(file)).fileName());
}

std::string ImageFolder::saveScreenshot(const QImage& picture)
{
    // Encoded in memory first: the writer of the file then sees every byte reach the disk.
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter encoder(&buffer, "BMP");
    if (!encoder.write(picture))
        throw std::runtime_error("the picture cannot be encoded: " + encoder.errorString().toStdString());
    // Whole under a hidden name first, then named without replacing anyone's file: a picture
    // shows in the folder only once it is complete.
    const std::string staged = path_ + "/.staged-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() + ".bmp";
    try {
        Vexa::AtomicFile::writeFile(staged, std::string_view(bmp.constData(), std::size_t(bmp.size())));
    } catch (const std::exception& e) {
        // The hidden name means nothing to the user: the folder is what could not take the picture.
        std::string reason = e.what();
        if (const auto at = reason.find(staged); at != std::string::npos)
            reason.replace(at, staged.size(), path_);
        throw std::runtime_error(reason);
    }
    try {
        return placeUnderNewName([&staged](const std::string& file) {
            if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0)
                return 0;
            if (errno != EINVAL && errno != ENOSYS)
                return errno;
            // A file system that cannot rename without replacing: a second link, then the first goes.
            if (::link(staged.c_str(), file.c_str()) != 0)
                return errno;
            ::unlink(staged.c_str());
            return 0;
        }, ".bmp");
    } catch (...) {
        ::unlink(staged.c_str());
        throw;
    }
}

bool ImageFolder::isOwn(const QString& fileName) const
{
    if (own_.count(fileName))
        return true;
    static const QRegularExpression continuation("^(.+)_\\d+\\.avi$");
    const QRegularExpressionMatch part = continuation.match(fileName);
    return part.hasMatch() && own_.count(part.captured(1) + ".avi");
}

std::vector<std::string> ImageFolder::ownFiles() const
{
    const QDir folder(QString::fromStdString(path_));
    std::vector<std::string> mine;
    for (const QString& name : folder.entryList({"*.bmp", "*.avi"}, QDir::Files))
        if (isOwn(name))
            mine.push_back(folder.filePath(name).toStdString());
    return mine;
}
