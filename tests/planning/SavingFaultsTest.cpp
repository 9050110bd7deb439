// Saving and starting when one file-system step fails (an I/O error, a full disk, a stale or
// timed-out network file, no descriptors left, no permission): every step in turn, as SQLite's
// I/O-error tests do; and what a cut step or the user leaves where the program keeps its marks.
#include "PlanningSaveTestSupport.h"

#include "planning/io/PlanningFile.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/LockHolder.h"
#include "planning/io/saving/PlanningFolderUpdate.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/model/Utilities.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <atomic>
#include <thread>
#include <cerrno>
#include <functional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

using namespace PlanningSaveTest;
namespace fs = std::filesystem;

namespace {

using Call = FolderHandle::SystemCall;

// Fails the n-th system call of the kinds given (of every kind when none) with `error`, for as
// long as it lives; with `nfs`, under the NFS client's rules (without exchange) besides.
class FailingStep
{
public:
    FailingStep(long n, int error, std::set<Call> kinds, bool nfs = false)
        : n_(n), error_(error), kinds_(std::move(kinds))
    {
        FolderHandle::imitateSillyRename(nfs);
        FolderHandle::setFaultInjector([this, nfs](Call call, const std::string& path) {
            if (const int refused = nfs ? nfsRule(call, false) : 0)
                return refused;
            if ((!kinds_.empty() && !kinds_.count(call)) || ++count_ != n_)
                return 0;
            failedAt_ = path;
            return error_;
        });
    }
    ~FailingStep() { FolderHandle::setFaultInjector({}); }
    // Whether the step that fails was made at all: past the last one, the run had none to fail.
    bool reached() const { return count_ >= n_; }
    // The path of the file or folder whose step failed (once the run is through).
    const std::string& failedAt() const { return failedAt_; }

private:
    std::atomic<long> count_{0};
    std::string failedAt_;
    const long n_;
    const int error_;
    const std::set<Call> kinds_;
};

// What a step that failed with `error` (0: none) may have the program say: nothing untrue about
// the planning replaced, and no cause but that error's (never another error's text, nor one that
// only another error means).
void expectToldAsIs(const std::vector<std::string>& said, int error)
{
    for (const std::string& text : said) {
        for (const char* untrue : {"set aside", "kept as", "does not hold", "no longer the file", "cannot read",
                                   "does not exist", "is missing", "another instance"})
            EXPECT_EQ(text.find(untrue), std::string::npos) << text;
        if (error != EACCES && error != EPERM) {
            EXPECT_EQ(text.find("by this user"), std::string::npos) << text;
        }
        for (int other = 1; other < 134; ++other)
            if (other != error && text.find(std::strerror(other)) != std::string::npos) {
                ADD_FAILURE() << "told \"" << std::strerror(other) << "\" for \""
                              << (error ? std::strerror(error) : "no error") << "\": " << text;
            }
    }
}

// Where the step that failed was refused (EACCES), what tells the refusal names what it was
// refused on (its folder and its name), as the user knows it, or something in it for a step on a
// folder; never another file or folder: a mark is "cannot be read" only where reading it failed.
void expectRefusalNamesItsFile(const std::vector<std::string>& said, std::string failedAt)
{
    // A nameless file made in a folder is a step on the folder.
    if (failedAt.ends_with("/."))
        failedAt.resize(failedAt.size() - 2);
    // A save's working folder is told as the new planning, its files by their names there.
    static const QRegularExpression working("/\\.[^/]+\\.saving\\d+(?:/|$)");
    const QRegularExpressionMatch match = working.match(QString::fromStdString(failedAt));
    const fs::path path = match.hasMatch() ? fs::path(failedAt.substr(std::size_t(match.capturedEnd()))) : fs::path(failedAt);
    const std::vector<std::string> shown{match.hasMatch() ? "new planning" : path.parent_path().string(),
                                         path.filename().string()};
    for (const std::string& text : said)
        if (text.find(std::strerror(EACCES)) != std::string::npos || text.find("by this user") != std::string::npos)
            for (const std::string& name : shown) {
                EXPECT_NE(text.find(name), std::string::npos) << text << "\nrefused at " << failedAt;
            }
}

// What a start said, in the log or to the user, it looks at again at the next start is there for
// that start to look at.
void expectPromisesKept(const StartRecovery::Report& report)
{
    static const QRegularExpression about("(?:could not (?:read|remove)|made in the planning|put aside in) (\\S+) [(c]");
    for (const auto* said : {&report.lines, &report.toTell})
        for (const std::string& text : *said)
            if (text.find("looked at again") != std::string::npos) {
                const QString path = about.match(QString::fromStdString(text)).captured(1);
                EXPECT_TRUE(!path.isEmpty() && fs::exists(fs::symlink_status(path.toStdString()))) << text;
            }
}

// The user's files in a planning besides its own, with their contents.
const std::map<std::string, std::string> userFiles{{"system/session.log", "the recording"},
                                                   {"images/shot.bmp", "the picture"},
                                                   {"letters/referral.pdf", "a letter"},
                                                   {"dicom/notes.txt", "the user's notes"}};

// After one clean start: one planning listed, that loads and holds every file of the user's;
// nothing else is left in the patient folder.
void expectOnePlanningWithEverything(const std::string& patients)
{
    const std::vector<std::string> plannings = listed(patients);
    ASSERT_EQ(plannings.size(), 1u);
    EXPECT_EQ(entries(patients), std::set<std::string>{fs::path(plannings.front()).filename().string()});
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

// A planning of the user's below `patients`, with files of the user's besides its own; its folder.
std::string makeUsersPlanning(const std::string& patients)
{
    const std::string origin = makePlanning(patients);
    for (const auto& [file, text] : userFiles)
        writeText(origin + "/" + file, text);
    return origin;
}

const std::set<Call> changes{Call::write, Call::truncate, Call::sync,       Call::rename,
                             Call::link,  Call::remove,   Call::makeFolder, Call::mode};
const std::set<Call> looks{Call::open, Call::duplicate, Call::status, Call::list, Call::read, Call::lock, Call::access};

struct Fault
{
    const char* name;
    std::vector<int> errors; // the n-th step fails with the n-th of these, in turn
    std::set<Call> kinds;
    bool nfs = false; // on a file server: under the NFS client's rules, without exchange
    int error(long n) const { return errors[std::size_t(n) % errors.size()]; }
};

// Every step fails in turn, changes and looks, with the errors a disk or a network share gives;
// besides, the errors a process or its user meets.
const Fault changesAndLooks[] = {
    {"an I/O error, a full disk, a stale file or a time-out at each change", {EIO, ENOSPC, ESTALE, ETIMEDOUT}, changes},
    {"an I/O error, a stale file or a time-out at each look", {EIO, ESTALE, ETIMEDOUT},
     {Call::open, Call::duplicate, Call::status, Call::list, Call::read, Call::lock, Call::access}},
    {"on a file server, an I/O error, a full disk, a stale file or a time-out at each change",
     {EIO, ENOSPC, ESTALE, ETIMEDOUT}, changes, true},
};
const Fault ofTheProcess[] = {
    {"no descriptor left", {EMFILE}, {Call::open, Call::duplicate}},
    {"a folder or file that may not be read", {EACCES}, {Call::open, Call::list}},
};

// A save of a planning that holds files of the user's, in this process (over it or as new), with
// the n-th step of those `fault` names failing; whether that step was made at all.
struct Saved
{
    std::string error;
    std::vector<std::string> notes;
    bool reached = false;
    std::string failedAt;
};

Saved saveFailing(const std::string& planning, const std::string& patients, bool over, long n, const Fault& fault)
{
    Session s;
    writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + "\n");
    Saved result;
    result.error = load(s, planning);
    if (!result.error.empty())
        return result;
    const FailingStep failing(n, fault.error(n), fault.kinds, fault.nfs);
    // As the main window does: the folder is reserved before the save starts.
    try {
        PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, over);
        writer.start();
        result.error = writer.getErrorMessage();
        result.notes = writer.getNotes();
    } catch (const std::exception& e) {
        result.error = PlanningWriter::failureText(e.what(), planning);
    }
    result.reached = failing.reached();
    result.failedAt = failing.failedAt();
    return result;
}

// An overwrite of `origin` stopped by an I/O error at its first move after the publishing rename:
// both plannings are listed, the new one holds the record of the take-over.
std::string cutAfterPublishing(const std::string& origin, const std::string& patients)
{
    const Saved saved = saveFailing(origin, patients, true, 2, {"the first move", {EIO}, {Call::rename}});
    EXPECT_EQ(saved.error, "");
    EXPECT_EQ(saved.notes.size(), 1u);
    for (const std::string& planning : listed(patients))
        if (planning != origin)
            return planning;
    ADD_FAILURE() << "no new planning";
    return {};
}

// The mark of a save that died at work in `folder`: a process of this computer long gone, with a
// longer text than any this process writes.
void markAsDeadSaves(const std::string& folder)
{
    LockHolder dead = LockHolder::self();
    dead.pid = 9999999;
    dead.start = "999999999999";
    writeText(folder + "/.morvanta-work", "morvanta-work 1\n" + dead.lines());
}

// A save over the planning and a save as new whose n-th file-system step fails, for every n: it
// ends; it is refused with the plannings as they were, or saved, without a note only where it is
// whole; what it says names no cause but the injected error. A change that fails is never passed
// off as a save without a note (but for a full disk where the origin lock would be made: then
// there is none). After one clean start, the planning saved over is one planning listed, that
// loads and holds every file of the user's; beside one saved as new, which loads, the planning
// loaded stands byte for byte.
void saveWhoseStepFails(bool over, const Fault& fault, long first = 1, long stride = 1)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept");
    const std::string origin = makeUsersPlanning(patients);
    fs::copy(patients, kept, fs::copy_options::recursive);
    const auto before = snapshot(patients), originBefore = snapshot(origin);
    const std::string row = std::string(over ? "over it, " : "as new, ") + fault.name;
    int refused = 0, whole = 0, noted = 0;
    for (long n = first;; n += stride) {
        SCOPED_TRACE(row + ", step " + std::to_string(n));
        fs::remove_all(patients);
        fs::copy(kept, patients, fs::copy_options::recursive);
        const Saved saved = saveFailing(origin, patients, over, n, fault);
        if (!saved.reached)
            break;
        expectToldAsIs(saved.notes, fault.error(n));
        expectToldAsIs({saved.error}, fault.error(n));
        if (fault.error(n) == EACCES) {
            expectRefusalNamesItsFile(saved.notes, saved.failedAt);
            expectRefusalNamesItsFile({saved.error}, saved.failedAt);
        }
        ++(!saved.error.empty() ? refused : saved.notes.empty() ? whole : noted);
        if (!saved.error.empty()) {
            EXPECT_EQ(saved.error.rfind("The planning was not saved.\n", 0), 0u) << saved.error;
        } else if (saved.notes.empty() && fault.kinds.count(Call::rename) && fault.error(n) != ENOSPC) {
            ADD_FAILURE() << "a failed change was passed off as a save without a note: " << saved.failedAt;
        }
        // The start on the same file server: what the save left goes, with nothing left hidden.
        if (fault.nfs)
            imitateNfs(false);
        const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
        FolderHandle::setFaultInjector({});
        FolderHandle::imitateSillyRename(false);
        expectToldAsIs(report.toTell, 0);
        if (fault.nfs)
            expectToldAsIs(report.lines, 0); // never "Device or resource busy"
        expectPromisesKept(report);
        if (over) {
            expectOnePlanningWithEverything(patients);
        } else {
            const std::vector<std::string> plannings = listed(patients);
            EXPECT_EQ(plannings.size(), saved.error.empty() ? 2u : 1u);
            Session any;
            EXPECT_EQ(load(any, plannings.back() == origin ? plannings.front() : plannings.back()), "");
            EXPECT_EQ(snapshot(origin), originBefore);
        }
        // A refused save leaves the plannings as they were once the start removed what its
        // clean-up could not.
        if (!saved.error.empty()) {
            EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
        }
        if (::testing::Test::HasFailure())
            return;
    }
    std::cout << row << ": " << refused << " refused, " << whole << " saved whole, " << noted << " saved with a note"
              << std::endl;
    EXPECT_GT(refused, 0);
    EXPECT_GT(whole + noted, 0);
}

}

// A row a test, so that the rows run side by side.
TEST(SavingFaults, ASaveOverItWhoseChangeFailsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, changesAndLooks[0]); }
// The longest row, its steps split in two.
TEST(SavingFaults, ASaveOverItWhoseLookFailsAtAnOddStepEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, changesAndLooks[1], 1, 2); }
TEST(SavingFaults, ASaveOverItWhoseLookFailsAtAnEvenStepEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, changesAndLooks[1], 2, 2); }
TEST(SavingFaults, ASaveAsNewWhoseChangeFailsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(false, changesAndLooks[0]); }
TEST(SavingFaults, ASaveAsNewWhoseLookFailsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(false, changesAndLooks[1]); }
TEST(SavingFaults, ASaveOverItWithoutDescriptorsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, ofTheProcess[0]); }
TEST(SavingFaults, ASaveOverItWithoutPermissionEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, ofTheProcess[1]); }
TEST(SavingFaults, ASaveOverItOnAFileServerWhoseChangeFailsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(true, changesAndLooks[2]); }
TEST(SavingFaults, ASaveAsNewOnAFileServerWhoseChangeFailsEndsAndSaysWhatIsTrue) { saveWhoseStepFails(false, changesAndLooks[2]); }

// A start finishing a take-over cut off right after the new planning was published, in plannings
// that hold a dead save's mark (with a longer text than the start writes), with its n-th
// file-system step failing, for every n (and each rewrite of a mark cut short): it says nothing
// untrue, no cause but the injected error, and promises the next start only what is there to look
// at; after one clean start one planning is listed, loads and holds every file of the user's.
TEST(SavingFaults, AStartWhoseStepFailsLeavesTheTakeOverToTheNext)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), cut = work.file("cut");
    const std::string origin = makeUsersPlanning(patients), replacing = cutAfterPublishing(origin, patients);
    for (const std::string& folder : {origin, replacing})
        markAsDeadSaves(folder);
    copyAsIs(patients, cut);
    std::vector<Fault> rows(std::begin(changesAndLooks), std::end(changesAndLooks));
    rows.insert(rows.end(), std::begin(ofTheProcess), std::end(ofTheProcess));
    rows.push_back({"a time-out at one mark's replacement, an I/O error at the other", {EIO, ETIMEDOUT},
                    {Call::rename}});
    rows.push_back({"an I/O error at one mark's replacement, a time-out at the other", {ETIMEDOUT, EIO},
                    {Call::rename}});
    for (const Fault& fault : rows) {
        int steps = 0;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(fault.name) + ", step " + std::to_string(n));
            copyAsIs(cut, patients);
            StartRecovery::Report report;
            std::string failedAt;
            {
                const FailingStep failing(n, fault.error(n), fault.kinds, fault.nfs);
                report = StartRecovery::finishInterrupted({patients});
                if (!failing.reached())
                    break;
                failedAt = failing.failedAt();
            }
            ++steps;
            expectToldAsIs(report.toTell, fault.error(n));
            if (fault.error(n) == EACCES)
                expectRefusalNamesItsFile(report.toTell, failedAt);
            expectPromisesKept(report);
            if (fault.nfs)
                imitateNfs(false);
            const StartRecovery::Report clean = StartRecovery::finishInterrupted({patients});
            FolderHandle::setFaultInjector({});
            FolderHandle::imitateSillyRename(false);
            expectToldAsIs(clean.toTell, 0);
            if (fault.nfs)
                expectToldAsIs(clean.lines, 0);
            expectOnePlanningWithEverything(patients);
            if (::testing::Test::HasFailure())
                return;
        }
        std::cout << fault.name << ": " << steps << " steps failed in turn" << std::endl;
        EXPECT_GT(steps, 1);
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
    const std::string patients = work.file("patients"), kept = work.file("kept");
    const std::string origin = makeUsersPlanning(patients);
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
        expectToldAsIs(notes, EMFILE);
        expectToldAsIs({said}, EMFILE);
        const StartRecovery::Report clean = StartRecovery::finishInterrupted({patients});
        expectToldAsIs(clean.toTell, 0);
        expectOnePlanningWithEverything(patients);
        if (::testing::Test::HasFailure())
            return;
    }
    for (const auto& [end, count] : ends)
        std::cout << count << " ended \"" << end << "\"" << std::endl;
    EXPECT_GT(ends["saved"], 0);
}

// An overwrite killed right after it published its planning leaves both plannings marked by its
// dead process, here with a longer text than a start writes. A start cut in replacing such a mark
// by its own (an I/O error, a time-out or a kill at the rename, made by strace) leaves a mark the
// next start reads as the program's own: that start finishes the take-over.
TEST(SavingFaults, AStartCutInReplacingADeadSavesMarkLeavesItToTheNext)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    const MemoryScratch work;
    const std::string patients = work.file("patients"), cut = work.file("cut");
    const std::string origin = makeUsersPlanning(patients);
    QProcess saver;
    startChild(saver, "overwrite", origin,
               {"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(origin), "-e",
                "trace=renameat2", "-e", "inject=renameat2:signal=KILL:when=1"});
    ASSERT_EQ(said(saver), "");
    ASSERT_EQ(listed(patients).size(), 2u);
    for (const std::string& planning : listed(patients)) {
        ASSERT_TRUE(fs::exists(planning + "/.morvanta-work")) << planning;
        markAsDeadSaves(planning);
    }
    copyAsIs(patients, cut);
    for (const char* cutBy : {"error=EIO", "error=ETIMEDOUT", "signal=KILL"}) {
        SCOPED_TRACE(cutBy);
        copyAsIs(cut, patients);
        QProcess start;
        startChild(start, "start", patients,
                   {"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(origin), "-e",
                    "trace=renameat2", "-e", QString("inject=renameat2:") + cutBy + ":when=1"});
        EXPECT_EQ(said(start).empty(), std::string(cutBy) == "signal=KILL") << "the start is cut at the rename";
        expectToldAsIs(StartRecovery::finishInterrupted({patients}).toTell, 0);
        expectOnePlanningWithEverything(patients);
    }
}

// A file and a folder of the user's named as the program's mark, in the planning saved over, in
// the planning a cut-off overwrite replaced, or in the one replacing it: the save is refused, or
// the start tells it once, saying what is in the way, where, and that it was left as it is, never
// that another instance is at work. Moved away, the next start finishes the take-over.
TEST(SavingFaults, SomethingOfTheUsersAtTheMarksNameIsToldAsSuch)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), cut = work.file("cut");
    const std::string origin = makeUsersPlanning(patients);
    copyAsIs(patients, kept);
    const std::string replacing = cutAfterPublishing(origin, patients);
    copyAsIs(patients, cut);
    enum Where { savedOver, replaced, replacingIt };
    const struct
    {
        const char* thing;
        std::string told, inside;
    } things[] = {{"a file", "a file that this program did not write", ""}, {"a folder", "a folder", "/list.txt"}};
    for (const auto& [thing, told, inside] : things)
        for (const Where where : {savedOver, replaced, replacingIt}) {
            SCOPED_TRACE(std::string(thing) + " in the planning " + std::to_string(where));
            copyAsIs(where == savedOver ? kept : cut, patients);
            const std::string mark = (where == replacingIt ? replacing : origin) + "/.morvanta-work";
            writeText(mark + inside, "the user's");
            const auto theirs = snapshot(patients);
            std::vector<std::string> said;
            if (where == savedOver) {
                Session s;
                ASSERT_EQ(load(s, origin), "");
                said.push_back(save(s, patients, true));
            } else {
                said = StartRecovery::finishInterrupted({patients}).toTell;
            }
            ASSERT_EQ(said.size(), 1u);
            EXPECT_NE(said.front().find(mark + " is " + told + ", where this program keeps the mark of a folder it is "
                                                               "at work in. It was left as it is; "),
                      std::string::npos)
                << said.front();
            expectToldAsIs(said, 0);
            EXPECT_EQ(snapshot(patients), theirs);
            fs::remove_all(mark);
            StartRecovery::finishInterrupted({patients});
            expectOnePlanningWithEverything(patients);
        }
}

// A start says only what it did: a working folder filled at its removal is not "removed", and
// the folder reserved for it stays; a planning an earlier version put aside that cannot be
// restored is told and looked at again; a replaced planning whose mark could not be replaced,
// but that the same start then took over whole, is promised to no next start.
TEST(SavingFaults, AStartSaysOnlyWhatItDid)
{
    const struct
    {
        const char* what;
        Call call;
        int error;
        // Makes what the start finds below the patient folder; the path whose step fails.
        std::function<std::string(const std::string&)> make;
        std::set<std::string> left; // empty: one planning with every file of the user's
        std::string told;           // what the start tells, in part
    } rows[] = {
        {"a working folder filled at its removal", Call::remove, ENOTEMPTY,
         [](const std::string& patients) {
             for (const char* name : {"2030-01-01__07-00-00-0", ".2030-01-01__07-00-00-0.saving0"})
                 fs::create_directories(patients + "/" + name);
             return patients + "/.2030-01-01__07-00-00-0.saving0";
         },
         {".2030-01-01__07-00-00-0.saving0", "2030-01-01__07-00-00-0"}, ""},
        {"a planning put aside that cannot be restored", Call::rename, EIO,
         [](const std::string& patients) {
             writeText(patients + "/.P.previous0/P.srl", "[Planningdata]\n");
             return patients + "/.P.previous0";
         },
         {".P.previous0"}, "could not be restored to"},
        {"a replaced planning whose mark could not be replaced, taken over later", Call::rename, EIO,
         [](const std::string& patients) {
             const std::string origin = makeUsersPlanning(patients);
             for (const std::string& folder : {origin, cutAfterPublishing(origin, patients)})
                 markAsDeadSaves(folder);
             // The mark of this start's, made under a temporary name, takes the dead one's name.
             return origin + "/..morvanta-work";
         },
         {}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const MemoryScratch work;
        const std::string patients = work.file("patients"), failing = row.make(patients);
        std::atomic<int> failed{0};
        FolderHandle::setFaultInjector([&](Call call, const std::string& path) {
            return call == row.call && path.starts_with(failing) && !failed++ ? row.error : 0;
        });
        // An hour after what it finds was left (by the file system's clock).
        FolderHandle::setClockAhead(std::chrono::hours(1));
        const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
        FolderHandle::setClockAhead({});
        FolderHandle::setFaultInjector({});
        EXPECT_GE(failed, 1) << "the step that fails is made";
        expectPromisesKept(report);
        for (const std::string& line : report.lines)
            for (const char* untrue : {"removed the empty working folder", "restored the planning"})
                EXPECT_EQ(line.find(untrue), std::string::npos) << line;
        if (row.left.empty()) {
            for (const std::string& line : report.lines)
                EXPECT_EQ(line.find("looked at again"), std::string::npos) << line;
            expectOnePlanningWithEverything(patients);
        } else {
            EXPECT_EQ(entries(patients), row.left);
        }
        std::string logged;
        for (const std::string& line : report.lines)
            logged += line + "\n";
        ASSERT_EQ(report.toTell.size(), row.told.empty() ? 0u : 1u) << logged;
        if (!row.told.empty()) {
            EXPECT_NE(report.toTell.front().find(row.told), std::string::npos) << report.toTell.front();
        }
    }
}

// What a save leaves whose removal of its working folder failed once its mark went (or that died
// before it marked the folder): an empty working folder without a mark, beside the empty folder
// reserved for it; and what a save as new killed right after it reserved its folder leaves: that
// folder alone. A start removes them once they are two minutes old by the file server's clock;
// younger, they may be those of a save about to mark its folder (or to make its working folder),
// and stay, whether this computer's clock runs with the server's, ten minutes ahead of it, twelve
// behind or an hour off either way. Another computer's save left unfinished stays, and is told
// once it began an hour ago by the file server's clock, never this computer's.
TEST(SavingFaults, AnEmptyWorkingFolderWithoutAMarkGoesOnceItIsOld)
{
    const std::string reserved = "2030-01-01__07-00-00-0", staging = "." + reserved + ".saving0";
    // The mark of a save of another computer's, cut off half a minute ago.
    const std::string otherComputers = staging + "/" + WorkMark::fileName;
    const std::string elsewhere = "morvanta-work 1\n4242\nelsewhere\n0123456789abcdef0123456789abcdef\nboot\n77\n";
    const struct
    {
        const char* what;
        std::vector<std::string> made;
        bool anHourLater;
        std::set<std::string> left;
        std::vector<std::string> removed; // what the log says of them, besides what is told
        bool toldUnfinished = false;
    } rows[] = {{"just made", {reserved, staging}, false, {staging, reserved}, {}},
                {"an hour old", {reserved, staging}, true, {},
                 {"removed the empty working folder /" + staging, "removed the empty folder /" + reserved + " reserved for it"}},
                {"a reserved folder alone, just made", {reserved}, false, {reserved}, {}},
                {"the same, an hour old", {reserved}, true, {},
                 {"removed the empty folder /" + reserved + " reserved for a new planning"}},
                {"an empty folder of another name, an hour old", {"letters"}, true, {"letters"}, {}},
                {"another computer's unfinished save", {reserved, otherComputers}, false, {staging, reserved},
                 {"left /" + staging + ": a save of the computer elsewhere has not finished there; that computer "
                                       "removes it should it have been cut off"}},
                {"the same, an hour later", {reserved, otherComputers}, true, {staging, reserved}, {}, true}};
    // The file server's clock (s) ahead of this computer's; none: a local disk.
    for (const std::optional<int> clock : {std::optional<int>(), std::optional(0), std::optional(-600), std::optional(720),
                                           std::optional(-3600), std::optional(3600)})
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (clock ? ", the server's clock " + std::to_string(*clock) + " s ahead" : ""));
            const MemoryScratch work;
            const std::string patients = work.file("patients");
            for (const std::string& name : row.made)
                if (name == otherComputers) {
                    writeText(patients + "/" + name, elsewhere);
                    fs::last_write_time(patients + "/" + name, fs::file_time_type::clock::now() - std::chrono::seconds(30));
                } else {
                    fs::create_directories(patients + "/" + name);
                }
            struct stat mark{};
            ::stat((patients + "/" + otherComputers).c_str(), &mark);
            if (clock)
                imitateNfs(false, {}, std::chrono::seconds(*clock));
            FolderHandle::setClockAhead(row.anHourLater ? std::chrono::hours(1) : std::chrono::hours(0));
            const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
            FolderHandle::setClockAhead({});
            endNfs();
            expectToldAsIs(report.toTell, 0);
            EXPECT_EQ(entries(patients), row.left);
            std::vector<std::string> removed;
            for (std::string line : report.lines)
                if (const auto at = line.find(patients);
                    at != std::string::npos && !std::count(report.toTell.begin(), report.toTell.end(), line))
                    removed.push_back(line.replace(at, patients.size(), ""));
            EXPECT_EQ(removed, row.removed);
            // Begun when the file server stamped the mark.
            const QString begun = QDateTime::fromSecsSinceEpoch(mark.st_mtime + clock.value_or(0)).toString("yyyy-MM-dd hh:mm");
            EXPECT_EQ(report.toTell, row.toldUnfinished ? std::vector<std::string>{
                                         "An unfinished save of the computer elsewhere, begun " + begun.toStdString() +
                                         ", holds 72 bytes in the hidden folder " + patients + "/" + staging + ". That "
                                         "computer removes it at its next start; nothing of it was removed here."}
                                                        : std::vector<std::string>{});
        }
}

// An overwrite whose origin lock's beat cannot be written before it publishes (another computer
// may take the lock once the beat stood still) is refused, saying why, with the plannings as they
// were.
TEST(SavingFaults, AnOverwriteWhoseLockLostItsBeatIsRefused)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients");
    const std::string origin = makeUsersPlanning(patients);
    const auto before = snapshot(patients);
    Session s;
    ASSERT_EQ(load(s, origin), "");
    const std::thread::id saving = std::this_thread::get_id();
    std::atomic<bool> beatFailed{false};
    FolderHandle::setFaultInjector([&](Call call, const std::string&) {
        if (call == Call::write && std::this_thread::get_id() != saving) {
            beatFailed = true;
            return EIO;
        }
        // Held in its checks before it publishes until the beat failed.
        if (call == Call::access)
            until([&] { return beatFailed.load(); });
        return 0;
    });
    const std::string error = save(s, patients, true);
    FolderHandle::setFaultInjector({});
    EXPECT_NE(error.find("The lock that lets saves of the planning take turns was lost: " + patients + "/." +
                         fs::path(origin).filename().string() + ".lock could not be written (Input/output error)."),
              std::string::npos)
        << error;
    StartRecovery::finishInterrupted({patients});
    EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
}

namespace {

// Whether the file at `path` is open in this process (a file server would keep it as ".nfs…" were
// its name removed now).
bool isOpenHere(const std::string& path)
{
    struct stat named{};
    if (::lstat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode))
        return false;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        struct stat open{};
        if (::stat(fd.path().c_str(), &open) == 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino)
            return true;
    }
    return false;
}

}

// What a save cut off on a file server leaves of its origin lock or of its working folder's mark,
// under their temporary names, and a start at once, then one an hour later (by the file system's
// clock): an empty temporary file (cut before it was locked) stays while its maker may still be
// at it, and then goes, with the working folder and the folder reserved for it; one with its text
// (cut after it was locked) and a dead holder's lock go at once. Each removal is told once, and no
// file's name is removed while it is open here.
TEST(SavingFaults, WhatACutSaveLeftOfItsMarkOrLockGoesOnceNoMakerCanBeAtIt)
{
    LockHolder dead = LockHolder::self();
    dead.pid = 9999999;
    const std::string tmp = std::string(Vexa::AtomicFile::temporaryTag) + "abc123";
    const std::string staging = ".2030-01-01__07-00-00-0.saving0", reserved = "2030-01-01__07-00-00-0";
    const auto cutMarking = [&](const std::string& patients, const std::string& text) {
        fs::create_directories(patients + "/" + reserved);
        writeText(patients + "/" + staging + "/..morvanta-work" + tmp, text);
    };
    const struct
    {
        const char* what;
        std::function<void(const std::string&)> leave;
        std::set<std::string> atOnce; // what a start at once leaves in the patient folder
        std::vector<std::string> removed; // the removals told, below the patient folder
    } rows[] = {
        {"a dead save's lock under its name and its temporary one",
         [&](const std::string& patients) {
             writeText(patients + "/.P.lock", "morvanta-origin-lock 1\n" + dead.lines() + "0\n");
             fs::create_hard_link(patients + "/.P.lock", patients + "/..P.lock" + tmp);
         },
         {}, {"removed the temporary file /..P.lock" + tmp + " of a lock", "removed the stale lock /.P.lock"}},
        {"an empty temporary file of a lock",
         [&](const std::string& patients) { writeText(patients + "/..P.lock" + tmp, ""); },
         {"..P.lock" + tmp}, {"removed the temporary file /..P.lock" + tmp + " of a lock"}},
        {"a start's probe of the file server's clock, cut before it went",
         [&](const std::string& patients) { writeText(patients + "/..clock.lock" + tmp, ""); },
         {"..clock.lock" + tmp}, {"removed the probe /..clock.lock" + tmp + " of the file server's clock that a start left"}},
        {"a working folder holding only its mark's empty temporary file",
         [&](const std::string& patients) { cutMarking(patients, ""); }, {staging, reserved},
         {"removed the unfinished save /" + staging + ", cut off while it made its mark",
          "removed the empty folder /" + reserved + " reserved for it"}},
        {"the same, the mark written",
         [&](const std::string& patients) { cutMarking(patients, "morvanta-work 1\n" + dead.lines()); }, {},
         {"removed the unfinished save /" + staging + ", cut off while it made its mark",
          "removed the empty folder /" + reserved + " reserved for it"}},
        {"a replaced planning's folder, taken over, holding only a mark's empty temporary file",
         [&](const std::string& patients) { writeText(patients + "/" + reserved + "/..morvanta-work" + tmp, ""); },
         {reserved}, {"removed the emptied folder /" + reserved + " of a replaced planning"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const MemoryScratch work;
        const std::string patients = work.file("patients");
        row.leave(patients);
        std::vector<std::string> openRemoved;
        FolderHandle::imitateSillyRename(true);
        FolderHandle::setFaultInjector([&](Call call, const std::string& path) {
            if (call == Call::remove && isOpenHere(path))
                openRemoved.push_back(path);
            return nfsRule(call, false);
        });
        const StartRecovery::Report atOnce = StartRecovery::finishInterrupted({patients});
        FolderHandle::setFaultInjector({});
        FolderHandle::imitateSillyRename(false);
        EXPECT_EQ(entries(patients), row.atOnce);
        const StartRecovery::Report later = startAnHourLater(patients, true);
        EXPECT_EQ(entries(patients), std::set<std::string>{});
        EXPECT_EQ(openRemoved, std::vector<std::string>{});
        std::vector<std::string> removed;
        for (const auto* report : {&atOnce, &later}) {
            EXPECT_EQ(report->toTell, std::vector<std::string>{});
            for (std::string line : report->lines)
                if (const auto at = line.find(patients); line.starts_with("removed ") && at != std::string::npos)
                    removed.push_back(line.replace(at, patients.size(), ""));
        }
        EXPECT_EQ(removed, row.removed);
    }
}

// On a file server, a new mark or lock under its temporary name before its maker locks it, met by
// a start (the maker held until the start reads the server's clock, the start then until the maker
// wrote it), or such an empty file without a maker, or another's lock at the maker's first try or
// at each: a start leaves it alone, unlocked while it judges it; a maker makes its file again and
// holds it locked, with nothing else left; held at each try, the lock is refused, saying why.
TEST(SavingFaults, AStartLeavesAMarkBeingMadeToItsMaker)
{
    enum Maker { none, mark, lock };
    const std::string leftEmpty = "..morvanta-work" + std::string(Vexa::AtomicFile::temporaryTag) + "abc123";
    const struct
    {
        const char* what;
        Maker maker;
        bool start;    // a start walks the patient folder meanwhile
        int heldTries; // how many of the maker's locks of its new file another holds
    } rows[] = {{"a start meets a new mark", mark, true, 0}, {"a start meets an empty new file, no maker", none, true, 0},
                {"another holds it at the first try", lock, false, 1}, {"at each try", lock, false, 10}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const MemoryScratch work;
        const std::string patients = work.file("patients"), staging = patients + "/.2030-01-01__07-00-00-0.saving0";
        const std::string made = row.maker == lock ? patients + "/.P.lock" : staging + "/" + WorkMark::fileName;
        fs::create_directories(row.maker == lock ? patients : staging);
        if (row.maker == none)
            writeText(staging + "/" + leftEmpty, "");
        std::atomic<bool> probed{false}, clockRead{!row.start}, written{false}, freeAtTheClock{true};
        std::atomic<std::thread::id> maker;
        std::vector<int> held; // another's descriptors on the maker's new files, locked
        const auto isTemporary = [](const std::string& path) {
            return Vexa::AtomicFile::isTemporaryName(fs::path(path).filename().string());
        };
        FolderHandle::imitateSillyRename(true);
        FolderHandle::setFaultInjector([&](Call call, const std::string& path) {
            const bool ofTheMaker = std::this_thread::get_id() == maker.load();
            if (ofTheMaker && call == Call::lock && isTemporary(path)) {
                if (int(held.size()) < row.heldTries) {
                    held.push_back(::open(path.c_str(), O_RDWR | O_CLOEXEC));
                    EXPECT_EQ(::flock(held.back(), LOCK_EX | LOCK_NB), 0);
                }
                until([&] { return clockRead.load(); });
            }
            if (ofTheMaker && call == Call::write)
                written = true;
            // The start makes a file to read the clock there: a maker's lock now finds its file free.
            if (!ofTheMaker && call == Call::open && isTemporary(path) && !fs::exists(path) && !probed.exchange(true)) {
                for (const std::string& name : entries(staging)) {
                    const int fd = ::open((staging + "/" + name).c_str(), O_RDWR | O_CLOEXEC);
                    freeAtTheClock = freeAtTheClock && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
                    ::close(fd);
                }
                clockRead = true;
                until([&] { return written || row.maker == none; });
            }
            return nfsRule(call, false);
        });
        Answer<std::unique_ptr<WorkMark>> marked = Failure{EINTR};
        std::unique_ptr<OriginLock> locked;
        std::string refusal;
        std::thread making([&] {
            maker = std::this_thread::get_id();
            try {
                if (row.maker == mark)
                    marked = WorkMark::create(FolderHandle::open(staging));
                else if (row.maker == lock)
                    locked = std::make_unique<OriginLock>(patients, "P");
            } catch (const std::exception& e) {
                refusal = e.what();
            }
        });
        StartRecovery::Report report;
        if (row.start) {
            EXPECT_TRUE(until([&] { return entries(staging).size() == 1; }));
            report = StartRecovery::finishInterrupted({patients});
        }
        clockRead = written = true;
        making.join();
        endNfs();
        for (const int fd : held)
            ::close(fd);
        EXPECT_EQ(report.lines, std::vector<std::string>{});
        EXPECT_TRUE(freeAtTheClock) << "the start locked a new file while it judged it";
        const bool refused = row.heldTries == 10;
        EXPECT_EQ(refusal, refused ? "The lock file " + made + " cannot be made: another workstation held it at each of "
                                     "10 tries, for a moment each. Saving again is all it takes."
                                   : "");
        EXPECT_TRUE(row.maker != mark || (marked.ok() && *marked)) << reasonOf(marked.error());
        // Beside it only what was there, or the file made (under its temporary name too while held).
        std::set<std::string> left;
        for (const std::string& name : entries(fs::path(made).parent_path(), true))
            left.insert(fs::exists(made) && fs::equivalent(fs::path(made).parent_path() / name, made) ? "made" : name);
        EXPECT_EQ(left, refused ? std::set<std::string>{} : std::set<std::string>{row.maker == none ? leftEmpty : "made"});
        const int fd = ::open(made.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_EQ(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0, row.maker != none && !refused) << "held by its maker";
        ::close(fd);
    }
}

// A save that stood still between making its working folder and marking it for longer than a
// start waits (here: a start an hour later, by the file server's clock, runs at that moment):
// the start clears the folder away, and the save says that, not the missing folder; the planning
// is as it was, and the next save goes through.
TEST(SavingFaults, ASaveWhoseWorkAStartClearedAwaySaysSo)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), old = makeUsersPlanning(patients);
    Session s;
    ASSERT_EQ(load(s, old), "");
    const auto before = snapshot(patients);
    std::atomic<bool> started{false};
    FolderHandle::setFaultInjector([&](Call call, const std::string& path) {
        if (call == Call::open && path.ends_with(".saving0") && !started.exchange(true)) {
            FolderHandle::setClockAhead(std::chrono::hours(1));
            StartRecovery::finishInterrupted({patients});
            FolderHandle::setClockAhead({});
        }
        return 0;
    });
    const std::string error = save(s, patients, true);
    FolderHandle::setFaultInjector({});
    EXPECT_TRUE(started);
    EXPECT_EQ(error, PlanningWriter::failureText(PlanningFolderUpdate::clearedAwayText(patients), old));
    EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
    EXPECT_EQ(save(s, patients, true), "");
    expectOnePlanningWithEverything(patients);
}

// A planning C2 saved on a computer whose clock runs 15 minutes ahead, replaced by D saved on one
// 12 minutes behind, the take-over cut off (both listed): a third computer's overwrite of C2 is
// refused, D named, whatever their stored save times say.
TEST(SavingFaults, AnOverwriteOfAPlanningReplacedMeanwhileIsRefusedWhateverTheClocks)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), origin = makeUsersPlanning(patients);
    const QDateTime now = QDateTime::currentDateTime();
    const auto clockAt = [&](int seconds) {
        Utilities::setClock([start = now.addSecs(seconds), draws = std::make_shared<std::atomic<int>>(0)] {
            return start.addMSecs((*draws)++);
        });
    };
    Session first, third;
    for (const Session* s : {&first, &third})
        writeText(s->dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + "\n");
    ASSERT_EQ(load(first, origin), "");
    clockAt(900);
    ASSERT_EQ(save(first, patients, true), "");
    const std::string c2 = fs::path(first.settings->getPlanningFile()).parent_path().string();
    ASSERT_EQ(load(third, c2), "");
    clockAt(-720);
    const std::string d = cutAfterPublishing(c2, patients);
    Utilities::setClock({});
    ASSERT_EQ(listed(patients), (std::vector<std::string>{std::min(c2, d), std::max(c2, d)}));
    const auto stored = [](const std::string& folder) {
        return QDateTime::fromString(
            QString::fromStdString(PlanningFile::read(folder + "/" + PlanningFinder::planningIn(folder)).lastModified),
            "MM/dd/yyyy hh:mm:ss");
    };
    ASSERT_GE(stored(d).secsTo(stored(c2)), 26 * 60);
    EXPECT_EQ(save(third, patients, true), PlanningWriter::failureText(LoadedPlanning(*third.settings).savedAgainText(d), ""));
    EXPECT_EQ(listed(patients).size(), 2u);
}

// A load that meets another computer's overwrite of the planning (its take-over moved a slice
// out; or it was through, and the folder loaded is gone) says that the planning was saved again
// and where it is now, never the file that went.
TEST(SavingFaults, ALoadThatMeetsASaveOfThePlanningSaysWhereItIsNow)
{
    const MemoryScratch work;
    const std::string patients = work.file("patients"), kept = work.file("kept");
    const std::string origin = makeUsersPlanning(patients);
    fs::copy(patients, kept, fs::copy_options::recursive);
    const std::string file = origin + "/" + PlanningFinder::planningIn(origin);
    for (const bool through : {false, true}) {
        SCOPED_TRACE(through ? "the take-over through" : "a slice moved out");
        fs::remove_all(patients);
        fs::copy(kept, patients, fs::copy_options::recursive);
        const std::string d = cutAfterPublishing(origin, patients);
        if (through) {
            StartRecovery::finishInterrupted({patients});
            ASSERT_FALSE(fs::exists(origin));
        } else {
            const std::string slice = PlanningFile::read(file).dicomFiles.at(3);
            fs::rename(origin + "/" + slice, d + "/" + slice + ".moved");
        }
        Session s;
        writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + "\n");
        PlanningReader reader(file, s.model, s.settings, s.manager);
        EXPECT_FALSE(reader.start());
        EXPECT_EQ(reader.getErrorMessage(), "The planning " + origin +
                                                " was saved again meanwhile, by another instance of the program: it "
                                                "is now in " + d + ". Load it from there.");
    }
}
