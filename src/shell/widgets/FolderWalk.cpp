#include "shell/widgets/FolderWalk.h"

#include <QDirIterator>
#include <algorithm>
#include <mutex>

namespace {

// Walks run in several threads at once (the import dialog's scanner, the GUI thread's lists).
std::mutex observerMutex;
std::function<void(const QString&)> openObserver;

void observeOpening(const QString& folder)
{
    std::function<void(const QString&)> observer;
    {
        std::lock_guard lock(observerMutex);
        observer = openObserver;
    }
    if (observer)
        observer(folder);
}

bool stopped(const std::atomic<bool>* stop)
{
    return stop && stop->load();
}

}

void FolderWalk::setOpenObserver(std::function<void(const QString& folder)> observer)
{
    std::lock_guard lock(observerMutex);
    openObserver = std::move(observer);
}

bool FolderWalk::walk(const QDir& folder, const FileVisitor& visitFile, const FolderVisitor& enterFolder,
                      const std::atomic<bool>* stop)
{
    if (stopped(stop))
        return false;
    if (enterFolder)
        enterFolder(folder);
    if (stopped(stop))
        return false;
    observeOpening(folder.absolutePath());
    // Read entry by entry rather than with QDir::entryInfoList, which reads the whole folder
    // before it returns: a stop must not wait for a large folder on a slow medium.
    QFileInfoList entries;
    QDirIterator read(folder.path(), QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    while (read.hasNext())
    {
        if (stopped(stop))
            return false;
        read.next();
        entries << read.fileInfo();
    }
    // QDir::Name | QDir::DirsFirst: case-sensitive names, folders before files.
    std::sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return a.isDir() != b.isDir() ? a.isDir() : a.fileName() < b.fileName();
    });
    for (const QFileInfo& entry : entries)
    {
        if (stopped(stop))
            return false;
        if (entry.isSymLink())
            continue;
        if (!(entry.isDir() ? walk(QDir(entry.absoluteFilePath()), visitFile, enterFolder, stop) : visitFile(entry)))
            return false;
    }
    return true;
}
