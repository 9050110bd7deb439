#pragma once
// A real, small file system for tests of what the program does when the disk is full.
//
// A test calls SmallDisk::rerunInside(bytes) first: outside, it runs the test program once
// more (this test only) in a private mount namespace with a tmpfs of `bytes` mounted on a fresh
// folder, and returns false after checking that run's result; inside, it returns true and
// SmallDisk::path() names the mount. Needs the right to make mount namespaces (root, as in CI).
//
//   TEST(Suite, Name) {
//       if (!SmallDisk::rerunInside(1 << 20)) return;
//       SmallDisk::leaveFree(4096);
//       ... write below SmallDisk::path() ...
//   }
#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace SmallDisk {

inline const char* variable() { return "MORVANTA_SMALL_DISK"; }

// The mounted small file system; empty outside.
inline std::string path()
{
    const char* at = std::getenv(variable());
    return at ? at : "";
}

// The bytes still free for a non-root writer's files there.
inline unsigned long long freeBytes(const std::string& folder = path())
{
    struct statvfs info{};
    if (::statvfs(folder.c_str(), &info) != 0)
        return 0;
    return static_cast<unsigned long long>(info.f_bavail) * info.f_frsize;
}

// Fills the file system (with a file "filler" at its top) until at most `bytes` stay free;
// tmpfs counts whole pages, so what stays free is `bytes` rounded down to a page.
inline void leaveFree(unsigned long long bytes)
{
    const std::string filler = path() + "/filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << "cannot make " << filler;
    std::vector<char> block(65536, 'x');
    while (freeBytes() > bytes) {
        const unsigned long long want = std::min<unsigned long long>(block.size(), freeBytes() - bytes);
        if (::write(fd, block.data(), want) <= 0)
            break;
    }
    ::close(fd);
    ASSERT_LE(freeBytes(), bytes + 4096);
}

// Makes empty files (in a folder "inodes" at its top) until at most `count` more files or
// folders can be made there.
inline void leaveInodes(unsigned long long count)
{
    const std::string folder = path() + "/inodes";
    std::filesystem::create_directories(folder);
    struct statvfs info{};
    for (unsigned long long n = 0; ::statvfs(folder.c_str(), &info) == 0 && info.f_favail > count; ++n)
        if (!std::ofstream(folder + "/" + std::to_string(n)))
            break;
    ASSERT_EQ(info.f_favail, count);
}

// Empties the small disk (the filler too) and makes `folder` on it; returns that folder.
inline std::string clear(const std::string& folder = "files")
{
    for (const auto& entry : std::filesystem::directory_iterator(path()))
        std::filesystem::remove_all(entry.path());
    std::filesystem::create_directories(path() + "/" + folder);
    return path() + "/" + folder;
}

// See above. `extraEnvironment` is added to the inner run's environment, `options` to the
// mount's options ("nr_inodes=4000" for a disk whose files can run out).
inline bool rerunInside(unsigned long long sizeBytes, const QStringList& extraEnvironment = {},
                        const QString& options = {})
{
    if (!path().empty())
        return true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QStringLiteral("%1.%2").arg(info->test_suite_name(), info->name());
    QTemporaryDir mountPoint;
    if (!mountPoint.isValid()) {
        ADD_FAILURE() << "no folder to mount the small disk on";
        return false;
    }
    QProcess inner;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(variable()), mountPoint.path());
    for (const QString& line : extraEnvironment)
        env.insert(line.section('=', 0, 0), line.section('=', 1));
    inner.setProcessEnvironment(env);
    inner.setProcessChannelMode(QProcess::MergedChannels);
    // The mount is the inner run's own: it goes with the namespace when the run ends.
    inner.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                 QStringLiteral("mount -t tmpfs -o size=%1%2 morvanta-small-disk \"$0\" && exec \"$@\"")
                     .arg(sizeBytes)
                     .arg(options.isEmpty() ? QString() : "," + options),
                 mountPoint.path(), QCoreApplication::applicationFilePath(), QStringLiteral("--gtest_filter=") + filter,
                 QStringLiteral("--gtest_brief=1")});
    if (!inner.waitForStarted()) {
        ADD_FAILURE() << "unshare did not start";
        return false;
    }
    inner.waitForFinished(-1);
    const QString output = QString::fromLocal8Bit(inner.readAll());
    if (output.contains(QStringLiteral("unshare failed")) || output.contains(QStringLiteral("mount: ")))
        ADD_FAILURE() << "a small file system needs the right to make mount namespaces (root): "
                      << output.toStdString();
    else
        EXPECT_TRUE(inner.exitStatus() == QProcess::NormalExit && inner.exitCode() == 0 &&
                    output.contains(QStringLiteral("[  PASSED  ] 1 test.")))
            << "on a small disk of " << sizeBytes << " bytes:\n" << output.toStdString();
    return false;
}

}
