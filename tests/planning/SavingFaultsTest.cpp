// Saving and starting when one file-system step fails (an I/O error, no descriptors left, no
// permission): every step in turn, as SQLite's I/O-error tests do.
#include "PlanningSaveTestSupport.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/StartRecovery.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>

using namespace PlanningSaveTest;
namespace fs = std::filesystem;

namespace {

using Call = FolderHandle::SystemCall;

// Fails the n-th system call of the kinds given (of every kind when none) with `error`, for as
// long as it lives.
class FailingStep
{
public:
    FailingStep(long n, int error, std::set<Call> kinds) : n_(n), error_(error), kinds_(std::move(kinds))
    {
        FolderHandle::setFaultInjector([this](Call call) {
            if (!kinds_.empty() && !kinds_.count(call)) {
                return 0;
            }
            return ++count_ == n_ ? error_ : 0;
        });
    }
    ~FailingStep() { FolderHandle::setFaultInjector({}); }
    // Whether the step that fails was made at all: past the last one, the run had none to fail.
    bool reached() const { return count_ >= n_; }

private:
    std::atomic<long> count_{0};
    const long n_;
    const int error_;
    const std::set<Call> kinds_;
};

// What is never true of a step that failed: it said nothing about the planning replaced.
void expectNoUntruth(const std::vector<std::string>& said)
{
    for (const std::string& text : said)
        for (const char* untrue : {"set aside", "kept as", "does not hold", "no longer the file", "cannot read"})
            EXPECT_EQ(text.find(untrue), std::string::npos) << text;
}

// The user's files in a planning besides its own, with their contents.
const std::map<std::string, std::string> userFiles{{"system/session.log", "the recording"},
                                                   {"images/shot.bmp", "the picture"},
                                                   {"letters/referral.pdf", "a letter"},
                                                   {"dicom/notes.txt", "the user's notes"}};

// After one clean start: one planning listed, that loads and holds every file of the user's; no
// file of the user's is anywhere else.
void expectOnePlanningWithEverything(const std::string& patients)
{
    const std::vector<std::string> plannings = listed(patients);
    ASSERT_EQ(plannings.size(), 1u);
    Session any;
    EXPECT_EQ(load(any, plannings.front()), "");
    for (const auto& [file, text] : userFiles)
        EXPECT_EQ(readBytes(plannings.front() + "/" + file), text) << file;
    for (const auto& entry : fs::recursive_directory_iterator(patients))
        if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
            EXPECT_EQ(entry.path().string().rfind(plannings.front() + "/", 0), 0u) << entry.path();
        }
}

// A folder in memory where there is such a file system: a save syncs every file it writes,
// and the hundreds of saves here need not wait for a disk.
struct MemoryScratch
{
    QTemporaryDir dir{QFileInfo("/dev/shm").isWritable() ? "/dev/shm/morvanta-faults-XXXXXX" : QString()};
    std::string file(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
};

struct Fault
{
    const char* name;
    int error;
    std::set<Call> kinds;
};

const Fault faults[] = {
    {"an I/O error at any step", EIO, {}},
    {"no descriptor left", EMFILE, {Call::open, Call::duplicate}},
    {"a folder or file that may not be read", EACCES, {Call::open, Call::list}},
};

// The overwrite (or, `asNew`, the save as new) of a planning that holds files of the user's, in
// this process, with the n-th step of those `fault` names failing; whether that step was made at all.
struct Overwrite
{
    std::string error;
    std::vector<std::string> notes;
    bool reached = false;
};

Overwrite overwrite(const std::string& planning, const std::string& patients, long n, const Fault& fault,
                    bool asNew = false)
{
    Session s;
    writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + "\n");
    Overwrite result;
    result.error = load(s, planning);
    if (!result.error.empty())
        return result;
    const FailingStep failing(n, fault.error, fault.kinds);
    // As the main window does: the folder is reserved before the save starts.
    try {
        PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, !asNew);
        writer.start();
        result.error = writer.getErrorMessage();
        result.notes = writer.getNotes();
    } catch (const std::exception& e) {
        result.error = PlanningWriter::failureText(e.what(), planning);
    }
    result.reached = failing.reached();
    return result;
}

}

// An overwrite whose n-th file-system step fails, for every n: it ends; it is refused with the
// planning as it was, or saved, without a note only where the take-over is whole; nothing it says
// is untrue. After one clean start, one planning is listed, loads and holds every file of the
// user's.
TEST(SavingFaults, AnOverwriteWhoseStepFailsEndsAndSaysWhatIsTrue)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    for (const auto& [file, text] : userFiles)
        writeText(origin + "/" + file, text);
    fs::copy(patients, kept, fs::copy_options::recursive);
    const auto before = snapshot(patients);
    for (const Fault& fault : faults) {
        int refused = 0, whole = 0, unfinished = 0;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(fault.name) + ", step " + std::to_string(n));
            fs::remove_all(patients);
            fs::copy(kept, patients, fs::copy_options::recursive);
            const Overwrite saved = overwrite(origin, patients, n, fault);
            if (!saved.reached)
                break;
            expectNoUntruth(saved.notes);
            if (!saved.error.empty()) {
                ++refused;
                EXPECT_EQ(saved.error.rfind("The planning was not saved.\n", 0), 0u) << saved.error;
            } else if (saved.notes.empty()) {
                ++whole;
                EXPECT_EQ(listed(patients).size(), 1u);
            } else {
                ++unfinished;
            }
            const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
            expectNoUntruth(report.toTell);
            expectOnePlanningWithEverything(patients);
            // A refused save leaves the planning as it was once the start removed what its
            // clean-up could not.
            if (!saved.error.empty()) {
                EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
            }
            if (::testing::Test::HasFailure())
                return;
        }
        std::cout << fault.name << ": " << refused << " refused, " << whole << " saved whole, " << unfinished
                  << " saved with the take-over to finish" << std::endl;
        EXPECT_GT(refused, 0);
        EXPECT_GT(whole + unfinished, 0);
    }
}

// A start finishing a take-over that a failed step cut off right after the new planning was
// published, with its n-th file-system step failing, for every n: it says nothing untrue, and
// after one clean start one planning is listed, loads and holds every file of the user's.
TEST(SavingFaults, AStartWhoseStepFailsLeavesTheTakeOverToTheNext)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), cut = work.file("cut"), origin = makePlanning(patients);
    for (const auto& [file, text] : userFiles)
        writeText(origin + "/" + file, text);
    // The first move after the publishing rename fails: both plannings are listed, the new one
    // holds the record of the take-over.
    const Overwrite saved = overwrite(origin, patients, 2, {"the first move", EIO, {Call::rename}});
    ASSERT_EQ(saved.error, "");
    ASSERT_EQ(saved.notes.size(), 1u);
    ASSERT_EQ(listed(patients).size(), 2u);
    ASSERT_EQ(QProcess::execute("cp", {"-a", QString::fromStdString(patients), QString::fromStdString(cut)}), 0);
    for (const Fault& fault : faults) {
        int steps = 0;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(fault.name) + ", step " + std::to_string(n));
            // As it was, with the files' times and links the record knows them by.
            fs::remove_all(patients);
            ASSERT_EQ(QProcess::execute("cp", {"-a", QString::fromStdString(cut), QString::fromStdString(patients)}), 0);
            StartRecovery::Report report;
            {
                const FailingStep failing(n, fault.error, fault.kinds);
                report = StartRecovery::finishInterrupted({patients});
                if (!failing.reached())
                    break;
            }
            ++steps;
            expectNoUntruth(report.toTell);
            const StartRecovery::Report clean = StartRecovery::finishInterrupted({patients});
            expectNoUntruth(clean.toTell);
            expectOnePlanningWithEverything(patients);
            if (::testing::Test::HasFailure())
                return;
        }
        std::cout << fault.name << ": " << steps << " steps failed in turn" << std::endl;
        EXPECT_GT(steps, 10);
    }
}

// An overwrite in a process that may hold only 11 to 40 files open at once: it ends (saved or
// refused, never looping or dying), says nothing untrue, and after one clean start one planning
// is listed, loads and holds every file of the user's.
TEST(SavingFaults, AnOverwriteShortOfDescriptorsEnds)
{
    if (QProcess::execute("prlimit", {"--version"}) != 0)
        GTEST_SKIP() << "prlimit is missing";
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    for (const auto& [file, text] : userFiles)
        writeText(origin + "/" + file, text);
    fs::copy(patients, kept, fs::copy_options::recursive);
    std::map<std::string, int> ends;
    for (int descriptors = 11; descriptors <= 40; ++descriptors) {
        SCOPED_TRACE(std::to_string(descriptors) + " descriptors");
        fs::remove_all(patients);
        fs::copy(kept, patients, fs::copy_options::recursive);
        QProcess child;
        startChild(child, "overwrite", origin, {"prlimit", "--nofile=" + QString::number(descriptors)});
        std::vector<std::string> notes;
        const Said said = PlanningSaveTest::said(child, &notes);
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << said.how;
        ++ends[said.substr(0, said.find(' '))];
        expectNoUntruth(notes);
        expectNoUntruth({said});
        const StartRecovery::Report clean = StartRecovery::finishInterrupted({patients});
        expectNoUntruth(clean.toTell);
        expectOnePlanningWithEverything(patients);
        if (::testing::Test::HasFailure())
            return;
    }
    for (const auto& [end, count] : ends)
        std::cout << count << " ended \"" << end << "\"" << std::endl;
    EXPECT_GT(ends["saved"], 0);
}

// A save as new and an overwrite whose n-th look (an open, a status, a listing, a read, an access
// check) fails, for every n, with an error a network share gives (by turns, so that each kind of
// look meets each error): a refusal names that error, and nothing said calls a file missing, not
// there or not this user's to replace, where every file is there and readable without the fault.
TEST(SavingFaults, ALookThatFailsIsToldAsItsOwnError)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    fs::copy(patients, kept, fs::copy_options::recursive);
    const std::set<Call> looks{Call::open, Call::status, Call::list, Call::read, Call::access};
    const int errors[] = {EIO, ESTALE, ETIMEDOUT};
    for (const bool asNew : {true, false}) {
        std::map<int, int> refused;
        for (long n = 1;; ++n) {
            const int error = errors[n % 3];
            SCOPED_TRACE(std::string(asNew ? "as new, " : "overwrite, ") + std::strerror(error) + " at look " +
                         std::to_string(n));
            fs::remove_all(patients);
            fs::copy(kept, patients, fs::copy_options::recursive);
            const Overwrite saved = overwrite(origin, patients, n, {"", error, looks}, asNew);
            if (!saved.reached)
                break;
            std::vector<std::string> said = saved.notes;
            said.push_back(saved.error);
            for (const std::string& text : said)
                for (const char* untrue : {"does not exist", "is missing", "cannot be replaced by this user"})
                    EXPECT_EQ(text.find(untrue), std::string::npos) << text;
            if (!saved.error.empty()) {
                ++refused[error];
                EXPECT_NE(saved.error.find(std::strerror(error)), std::string::npos) << saved.error;
            }
            if (::testing::Test::HasFailure())
                return;
        }
        EXPECT_EQ(refused.size(), 3u);
    }
}
