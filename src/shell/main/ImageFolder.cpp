#include "shell/main/ImageFolder.h"

#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

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

// Copies, verifies, then deletes the source; the source stays unless the copy is whole.
bool moveFile(const QString& from, const QString& to)
{
    if (QFile::exists(to))
        return false;
    if (QFile::rename(from, to))
        return true;
    if (!QFile::copy(from, to))
        return false;
    if (digest(from) != digest(to) || digest(to).isEmpty()) {
        QFile::remove(to);
        return false;
    }
    return QFile::remove(from);
}

}

ImageFolder::ImageFolder() : path_(Platform::applicationPath("Images"))
{
    QDir().mkpath(QString::fromStdString(path_));
    lock_ = std::make_unique<QLockFile>(QString::fromStdString(path_) + "/.session.lock");
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0))
        recoverEarlierSession();
    else
        Platform::outputDebugString("Images is used by another running instance; its files stay\n");
}

ImageFolder::~ImageFolder() = default;

void ImageFolder::recoverEarlierSession() const
{
    const QDir folder(QString::fromStdString(path_));
    const QStringList files = folder.entryList({"*.bmp", "*.avi"}, QDir::Files);
    if (files.isEmpty())
        return;
    const std::string recovered = path_ + "/recovered";
    if (!moveFilesTo(recovered))
        Platform::outputDebugString("some pictures of an earlier session stay in " + path_ + "\n");
}

std::string ImageFolder::reserveName() const
{
    const std::string name = Utilities::getUniqueSubpath(path_, true);
    return name;
}

std::string ImageFolder::saveScreenshot(const QImage& picture) const
{
    // Written under a passing name and renamed when whole, so no one sees half a picture.
    const std::string file = path_ + "/" + reserveName() + ".bmp";
    const QString part = QString::fromStdString(file + ".part");
    if (picture.save(part, "BMP") && QFile::rename(part, QString::fromStdString(file)))
        return file;
    QFile::remove(part);
    return std::string();
}

bool ImageFolder::moveFilesTo(const std::string& target) const
{
    const QString to = QString::fromStdString(target);
    if (!QDir().mkpath(to))
        return false;
    bool all = true;
    const QDir folder(QString::fromStdString(path_));
    for (const QString& name : folder.entryList({"*.bmp", "*.avi"}, QDir::Files))
        all = moveFile(folder.filePath(name), to + "/" + name) && all;
    return all;
}
