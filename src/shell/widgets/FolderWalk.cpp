#include "shell/widgets/FolderWalk.h"

bool FolderWalk::walk(const QDir& folder, const FileVisitor& visitFile, const FolderVisitor& enterFolder)
{
    if (enterFolder)
        enterFolder(folder);
    const QFileInfoList entries = folder.entryInfoList(
        QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name | QDir::DirsFirst);
    for (const QFileInfo& entry : entries)
    {
        if (entry.isSymLink())
            continue;
        if (!(entry.isDir() ? walk(QDir(entry.absoluteFilePath()), visitFile, enterFolder) : visitFile(entry)))
            return false;
    }
    return true;
}
