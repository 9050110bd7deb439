#pragma once
// Walks a folder tree depth first: entries sorted by name, folders first, symbolic links never
// followed. The visitor sees every file; returning false ends the whole walk.
#include <QDir>
#include <functional>

class FolderWalk
{
public:
    using FileVisitor = std::function<bool(const QFileInfo& file)>;
    using FolderVisitor = std::function<void(const QDir& folder)>;

    // False when a visitor ended the walk.
    static bool walk(const QDir& folder, const FileVisitor& visitFile, const FolderVisitor& enterFolder = {});
};
