// The modes of the files the base library writes: what it makes follows the user's umask, so
// that in a folder a group shares the files are the group's; what it replaces keeps its mode.
#include "vexa/io/AtomicFile.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat status{};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

}

TEST(AtomicFileMode, WhatIsMadeFollowsTheUmaskAndWhatIsReplacedKeepsItsMode)
{
    const struct
    {
        mode_t umask;
        mode_t made;
    } rows[] = {{022, 0644}, {002, 0664}, {077, 0600}};
    for (const auto& [umask, made] : rows) {
        SCOPED_TRACE(umask);
        const TestSupport::ScratchDir dir;
        const std::string written = dir.file("settings.ini"), appended = dir.file("CalibrationOK.txt");
        const std::string replaced = dir.file("selection.db");
        Vexa::AtomicFile::writeFile(replaced, "the old text");
        ASSERT_EQ(::chmod(replaced.c_str(), 0640), 0);
        const mode_t before = ::umask(umask);
        Vexa::AtomicFile::writeFile(written, "made whole");
        Vexa::AtomicFile::appendFile(appended, "a line\n");
        Vexa::AtomicFile::appendFile(appended, "another line\n");
        Vexa::AtomicFile::writeFile(replaced, "the new text");
        ::umask(before);
        EXPECT_EQ(modeOf(written), made);
        EXPECT_EQ(modeOf(appended), made);
        EXPECT_EQ(modeOf(replaced), mode_t(0640));
        EXPECT_EQ(TestSupport::readFile(appended), "a line\nanother line\n");
    }
}
