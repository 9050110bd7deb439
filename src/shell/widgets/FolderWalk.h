#pragma once
// Walks a folder tree depth first: entries sorted by name, folders first, symbolic links never
// followed. The visitor sees every file; returning false ends the whole walk.
#include <QDir>
#include <atomic>
#include <functional>

class FolderWalk
{
public:
    using FileVisitor = std::function<bool(const QFileInfo& file)>;
    using FolderVisitor = std::function<void(const QDir& folder)>;

    // False when a visitor ended the walk or `stop` was seen set. A walk in another thread is
    // stopped through the flag: it is looked at before each folder is opened and before each
    // entry is read or visited, so a deep tree or a slow medium ends the walk within one entry.
    static bool walk(const QDir& folder, const FileVisitor& visitFile, const FolderVisitor& enterFolder = {},
                     const std::atomic<bool>* stop = nullptr);

    // Called with each folder's path just before the walk opens it, in the walking thread; for
    // tests that stand in a slow medium. Empty: none.
    static void setOpenObserver(std::function<void(const QString& folder)> observer);
};
