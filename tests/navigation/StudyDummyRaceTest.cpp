// The study's dummy planning is written aside and then linked to its name, which fails where the
// name is taken. Between the look for the dummy and that link another instance may link its own:
// that dummy is as good as this one and nothing is told, while any other failure of the link is.
// The race is made here by standing in for the system's link: this source defines link and
// linkat, which go through to the system's except for the one link a test arms.
#include "common/TestSupport.h"
#include "planning/log/TreatmentLog.h"
#include "planning/model/Constants.h"

#include <QDir>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

// The link to a name ending in `ending`, while armed: another instance's file is made at that
// name just before (error 0; the link then meets the name taken), or the link fails with `error`.
struct ArmedLink
{
    std::mutex mutex;
    bool armed = false;
    std::string ending, theirs;
    int error = 0;
    int met = 0;
} armedLink;

// What the armed link meets for `to` (relative to `folder`); -1 when it goes through as it is.
int meet(int folder, const char* to)
{
    std::lock_guard lock(armedLink.mutex);
    // The name alone (relative to its folder) or a path ending in it.
    const std::string name = to, ending = "/" + armedLink.ending;
    const bool at = name == armedLink.ending ||
                    (name.size() > ending.size() && name.compare(name.size() - ending.size(), std::string::npos, ending) == 0);
    if (!armedLink.armed || !at)
        return -1;
    armedLink.armed = false;
    ++armedLink.met;
    if (armedLink.error)
        return armedLink.error;
    const int fd = ::openat(folder, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, armedLink.theirs.data(), armedLink.theirs.size());
        ::close(fd);
    }
    return -1;
}

// Arms the next link to the name `ending` (or a path ending in it) for the life of the instance.
class LinkRace
{
public:
    LinkRace(const std::string& ending, int error, const std::string& theirs = {})
    {
        std::lock_guard lock(armedLink.mutex);
        armedLink.met = 0;
        armedLink.armed = true;
        armedLink.ending = ending;
        armedLink.error = error;
        armedLink.theirs = theirs;
    }
    ~LinkRace()
    {
        std::lock_guard lock(armedLink.mutex);
        armedLink.armed = false;
    }
    int met() const
    {
        std::lock_guard lock(armedLink.mutex);
        return armedLink.met;
    }
};

}

extern "C" int link(const char* from, const char* to)
{
    using Link = int (*)(const char*, const char*);
    static const Link next = reinterpret_cast<Link>(dlsym(RTLD_NEXT, "link"));
    if (const int error = meet(AT_FDCWD, to); error > 0) {
        errno = error;
        return -1;
    }
    return next(from, to);
}

extern "C" int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags)
{
    using LinkAt = int (*)(int, const char*, int, const char*, int);
    static const LinkAt next = reinterpret_cast<LinkAt>(dlsym(RTLD_NEXT, "linkat"));
    if (const int error = meet(toFolder, to); error > 0) {
        errno = error;
        return -1;
    }
    return next(fromFolder, from, toFolder, to, flags);
}

TEST(StudyDummyRace, TheDummysLinkTellsOnlyWhatIsNotAnotherInstancesDummy)
{
    const std::string theirs = "[Patient]\nname = Another instance's dummy\n";
    const struct
    {
        const char* what;
        int error; // 0: another instance links its dummy first
        bool told; // the failure is told
    } rows[] = {
        {"another instance links its dummy first", 0, false},
        {"the disk fails at the link", EIO, true},
        {"the folder takes no more links", EMLINK, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestSupport::ScratchDir home;
        QDir().mkpath(QString::fromStdString(home.file("Plans")));
        const std::string patients = home.file("Patients"), study = patients + "/" + Constants::studyDummyFolder;
        const std::string dummy = study + Constants::studyDummyFile;
        TreatmentLog log(home.path());
        log.start("P", home.file("Plans/P.srl"), {}, Constants::Mandible);
        std::vector<std::string> told;
        {
            const LinkRace race(Constants::studyDummyFile, row.error, theirs);
            log.store(home.file("Plans/P.srl"), {patients}, {});
            log.wait();
            told = log.takeFailures();
            ASSERT_EQ(race.met(), 1) << "the dummy is linked to its name";
        }
        std::vector<std::string> expected;
        if (row.told)
            expected.push_back("The study's dummy planning cannot be written: " + dummy + " cannot be written (" +
                               std::strerror(row.error) + ").");
        EXPECT_EQ(told, expected);
        // Theirs stands, or none; the study copy of the log is written either way, and nothing
        // is left aside.
        EXPECT_EQ(TestSupport::readFile(dummy), row.told ? "" : theirs);
        EXPECT_EQ(QDir(QString::fromStdString(study + "Log")).entryList({"*.log"}, QDir::Files).size(), 1);
        EXPECT_EQ(QDir(QString::fromStdString(study)).entryList(QDir::Files | QDir::Hidden).size(), row.told ? 0 : 1);
    }
}
