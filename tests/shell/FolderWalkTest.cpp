#include "shell/widgets/FolderWalk.h"

#include "common/TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

// The walk keeps QDir's order and filters (names case-sensitive, folders first, no links, nothing
// hidden), and a stop raised at any of its steps ends it right there: no further entry is
// visited and no further folder opened.
TEST(FolderWalk, KeepsQDirsOrderAndAStopAtAnyStepEndsItThere)
{
    TestSupport::ScratchDir dir;
    const QString root = dir.qpath();
    for (const char* file : {"B/a/y", "B/x.txt", "a/deeper/1", "a/Z.dcm", "a/b.dcm", "c.txt", ".hidden"})
    {
        QDir().mkpath(QFileInfo(root + "/" + file).path());
        QFile(root + "/" + file).open(QIODevice::WriteOnly);
    }
    QFile::link(root + "/a", root + "/link");
    QFile::link(root + "/c.txt", root + "/filelink");
    QStringList byQDir;
    const std::function<void(const QString&)> list = [&](const QString& folder) {
        byQDir << "enter " + folder;
        for (const QFileInfo& e : QDir(folder).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                                                              QDir::Name | QDir::DirsFirst))
            if (e.isDir())
                list(e.absoluteFilePath());
            else
                byQDir << "file " + e.absoluteFilePath();
    };
    list(root);

    const auto walk = [&](qsizetype stopAt, QStringList& steps) {
        std::atomic<bool> stop{false};
        const auto step = [&](const QString& text) {
            steps << text;
            stop = steps.size() == stopAt;
        };
        FolderWalk::setOpenObserver([&](const QString& folder) { step("open " + folder); });
        const auto file = [&](const QFileInfo& f) {
            step("file " + f.absoluteFilePath());
            return true;
        };
        const bool whole =
            FolderWalk::walk(QDir(root), file, [&](const QDir& f) { step("enter " + f.absolutePath()); }, &stop);
        FolderWalk::setOpenObserver({});
        return whole;
    };
    QStringList all;
    ASSERT_TRUE(walk(0, all));
    ASSERT_EQ(byQDir.size(), 11);
    EXPECT_EQ(all.filter(QRegularExpression("^(enter|file) ")), byQDir);
    for (qsizetype n = 1; n <= all.size(); ++n)
    {
        QStringList steps;
        EXPECT_EQ(walk(n, steps), n == all.size()) << n;
        EXPECT_EQ(steps, all.mid(0, n)) << "stopped after " << all[n - 1].toStdString();
    }
}
