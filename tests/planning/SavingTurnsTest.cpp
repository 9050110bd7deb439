// Saves and starts that meet: a start finishing a take-over into the planning an overwrite
// replaces, a file system without locks, something of the user's where the origin lock goes.
#include "PlanningSaveTestSupport.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/StartRecovery.h"
#include "common/RefusedThreadStarts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace PlanningSaveTest;
namespace fs = std::filesystem;

namespace {

// Files of the user's in a planning besides its own.
void addUserFiles(const std::string& planning, const std::string& tag)
{
    writeText(planning + "/letters/" + tag + ".pdf", "a letter " + tag);
    writeText(planning + "/dicom/" + tag + ".txt", "notes " + tag);
}

// Every regular file below the patient folder lies in a listed planning, but what the program
// keeps in hidden files and folders (a save's work in progress, records, marks).
void expectEveryFileInAListedPlanning(const std::string& patients)
{
    const std::vector<std::string> plannings = listed(patients);
    for (const auto& entry : fs::recursive_directory_iterator(patients)) {
        const fs::path relative = fs::relative(entry.path(), patients);
        if (!entry.is_regular_file() ||
            std::any_of(relative.begin(), relative.end(), [](const fs::path& part) { return part.string().front() == '.'; }))
            continue;
        const bool inOne = std::any_of(plannings.begin(), plannings.end(), [&](const std::string& planning) {
            return entry.path().string().rfind(planning + "/", 0) == 0;
        });
        EXPECT_TRUE(inOne) << entry.path();
    }
}

// The planning that replaced `a` in an overwrite killed at its `when`-th move of the take-over,
// both listed; empty where it did not come to that.
std::string cutOverwrite(const std::string& patients, const std::string& a, int when)
{
    QProcess cut;
    startChild(cut, "overwrite", a, {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2", "-e",
                                    QString("inject=renameat2:signal=KILL:when=%1").arg(when)});
    EXPECT_EQ(said(cut), "");
    const std::vector<std::string> both = listed(patients);
    EXPECT_EQ(both.size(), 2u);
    return both.size() != 2 ? std::string() : both[0] == a ? both[1] : both[0];
}

// Waits until the child, run with a step to hold at (MORVANTA_SAVE_HOLD), is held there; false
// where it ended first (or not within two minutes).
bool heldAtItsStep(QProcess& child)
{
    QElapsedTimer clock;
    clock.start();
    while ((child.state() != QProcess::NotRunning || child.canReadLine()) && clock.elapsed() < 120000)
        if (!child.canReadLine())
            child.waitForReadyRead(1000);
        else if (child.readLine().trimmed() == "@@ held")
            return true;
    return false;
}

// Lets a held child make its call and go on.
void goOn(QProcess& child)
{
    child.write("go\n");
    EXPECT_TRUE(child.waitForBytesWritten());
}

}

// A start held in the middle of finishing the take-over of A into B (a cut-off overwrite of A)
// while an overwrite of B runs: the overwrite waits for it, and nothing of the user's is left
// outside a listed planning; after one more start, one planning holds the files of both.
TEST(SavingTurns, AnOverwriteWaitsForAStartTakingOverIntoItsPlanning)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), a = makePlanning(patients);
    addUserFiles(a, "a");
    // Overwritten, the take-over cut off at its first move (the save killed there).
    const std::string b = cutOverwrite(patients, a, 1);
    ASSERT_FALSE(b.empty());
    const std::vector<std::string> both = listed(patients);
    addUserFiles(b, "b");
    // As a take-over that a failed step stopped leaves it: no marks, the record in B.
    fs::remove(a + "/.morvanta-work");
    fs::remove(b + "/.morvanta-work");

    QProcess start, overwrite;
    startChild(start, "start", patients, {}, true);
    {
        // The start at its first move out of A: it holds the marks of A and B.
        const Tracer held(start, "renameat2", a, true);
        ASSERT_TRUE(held.saw("renameat2("));
        // The overwrite looks at B's mark again and again: it waits, and has published nothing.
        startChild(overwrite, "overwrite", b, {}, true);
        const Tracer looks(overwrite, "openat", b, false);
        ASSERT_TRUE(looks.saw(".morvanta-work", 3));
        EXPECT_EQ(listed(patients), both);
        expectEveryFileInAListedPlanning(patients);
    } // the start goes on, and so does the overwrite
    // Once the start is through, B is whole: the overwrite takes it over whole, and says nothing.
    std::vector<std::string> notes;
    const Said saved = said(overwrite, &notes);
    EXPECT_EQ(saved.rfind("saved ", 0), 0u) << ::testing::PrintToString(saved);
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(said(start), "started");
    expectEveryFileInAListedPlanning(patients);
    StartRecovery::finishInterrupted({patients});
    const std::vector<std::string> plannings = listed(patients);
    ASSERT_EQ(plannings.size(), 1u);
    Session any;
    EXPECT_EQ(load(any, plannings.front()), "");
    for (const char* tag : {"a", "b"}) {
        EXPECT_EQ(readBytes(plannings.front() + "/letters/" + tag + ".pdf"), std::string("a letter ") + tag);
        EXPECT_EQ(readBytes(plannings.front() + "/dicom/" + tag + ".txt"), std::string("notes ") + tag);
    }
    expectEveryFileInAListedPlanning(patients);
}

// On a file system that takes no locks (flock fails with ENOLCK, as on a network share without
// its lock service): an overwrite held at its first move of the old planning's entries (marked in
// both plannings), and starts beside it, of this computer and of another: they change nothing.
// Once the overwrite is through, a start leaves one planning with every file.
TEST(SavingTurns, WithoutLocksAStartLeavesASaveAtWorkAlone)
{
    if (const std::string missing = missingTools(true); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    addUserFiles(old, "old");
    QProcess saver;
    startChild(saver, "overwrite", old, {}, true, {}, true);
    {
        const Tracer held(saver, "renameat2", old, true);
        ASSERT_TRUE(held.saw("renameat2("));
        // The held save's origin lock still beats every second: its beat (the last line) is left out.
        const auto snapshot = [&](const std::string& folder) {
            auto files = PlanningSaveTest::snapshot(folder);
            for (auto& [name, bytes] : files)
                if (name.ends_with(".lock"))
                    bytes.resize(bytes.size() > 1 ? bytes.rfind('\n', bytes.size() - 2) + 1 : 0);
            return files;
        };
        const auto before = snapshot(patients);
        {
            FolderHandle::setFaultInjector([](FolderHandle::SystemCall call, const std::string&) {
                return call == FolderHandle::SystemCall::lock ? ENOLCK : 0;
            });
            const StartRecovery::Report here = StartRecovery::finishInterrupted({patients});
            FolderHandle::setFaultInjector({});
            EXPECT_EQ(here.toTell, std::vector<std::string>{});
        }
        EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
        QProcess elsewhere;
        startChild(elsewhere, "start", patients, asComputer(true), false, {}, true);
        EXPECT_EQ(said(elsewhere), "started");
        EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
    }
    const Said saved = said(saver);
    ASSERT_EQ(saved.rfind("saved ", 0), 0u) << ::testing::PrintToString(saved);
    StartRecovery::finishInterrupted({patients});
    EXPECT_EQ(listed(patients), std::vector<std::string>{saved.substr(6)});
    EXPECT_EQ(readBytes(saved.substr(6) + "/letters/old.pdf"), "a letter old");
    EXPECT_EQ(readBytes(saved.substr(6) + "/dicom/old.txt"), "notes old");
    expectEveryFileInAListedPlanning(patients);
}

// Something of the user's where the lock of the planning's origin goes (".<origin>.lock"): a
// file, a named pipe, a folder, a symbolic link. The overwrite is refused at once, naming it and
// saying what it is, and it is left exactly as it was; the planning is unchanged. On a local disk,
// and on a file server (the save under the NFS client's rules).
TEST(SavingTurns, WhatStandsAtTheLocksNameIsLeftAsItWasAndNamed)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    const std::string lock = patients + "/." + fs::path(old).filename().string() + ".lock";
    const std::string outside = work.file("outside.txt");
    writeText(outside, "the user's");
    const std::pair<const char*, std::function<void()>> things[] = {
        {"a file that this program did not write", [&] { writeText(lock, "the user's own notes\n"); }},
        {"an empty file", [&] { writeText(lock, ""); }},
        {"a named pipe", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0); }},
        {"a folder", [&] { writeText(lock + "/inside.txt", "kept"); }},
        {"a symbolic link", [&] { fs::create_symlink(outside, lock); }},
    };
    for (const bool onServer : {false, true})
    for (const auto& [thing, make] : things) {
        SCOPED_TRACE(std::string(thing) + (onServer ? ", on a file server" : ""));
        make();
        const auto before = snapshot(patients);
        struct stat made{};
        ASSERT_EQ(::lstat(lock.c_str(), &made), 0);
        Session s;
        ASSERT_EQ(load(s, old), "");
        if (onServer)
            imitateNfs(false, std::chrono::milliseconds(roundTrip));
        const std::string error = save(s, patients, true);
        endNfs();
        EXPECT_EQ(error, PlanningWriter::failureText("The planning cannot be saved over: " + lock + " is " + thing +
                                                         ", where this program keeps the lock that lets saves of the "
                                                         "planning take turns. It was left as it is; move it away, then "
                                                         "save again.",
                                                     old));
        struct stat after{};
        ASSERT_EQ(::lstat(lock.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, made.st_ino);
        EXPECT_EQ(after.st_mtim.tv_nsec, made.st_mtim.tv_nsec);
        EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
        EXPECT_EQ(readBytes(outside), "the user's");
        fs::remove_all(lock);
    }
}

// An overwrite whose origin lock cannot start the thread that keeps its beat (no thread left to
// the process): the lock is given up at once and the save fails, saying why; the next overwrite,
// with threads again, does not wait for it.
TEST(SavingTurns, ALockWithoutItsBeatIsGivenUpAtOnce)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    const std::string lock = patients + "/." + fs::path(old).filename().string() + ".lock";
    Session s;
    ASSERT_EQ(load(s, old), "");
    std::string refused;
    {
        const TestSupport::RefusedThreadStarts noThreads(0);
        refused = save(s, patients, true);
        EXPECT_GT(noThreads.refused(), 0);
    }
    EXPECT_NE(refused.find("The lock of this planning cannot be kept: no thread can be started for it"),
              std::string::npos)
        << refused;
    EXPECT_FALSE(fs::exists(lock));
    const std::string saved = save(s, patients, true);
    EXPECT_EQ(saved, "");
}

// Two computers starting at once on a take-over a killed overwrite cut off: this computer's start
// takes the dead save's marks over, the other computer's goes on without one (to it they are
// another computer's, and free). One start is held at a step while the other runs through (or on
// to a step of its own, held there in turn), then goes on: neither says anything untrue of the
// other's work (an entry the other moved or removed meanwhile is neither changed, nor another
// file, nor unreadable; a folder that vanished is no other planning), what truly stays is told,
// and one planning is left with every file.
TEST(SavingTurns, TwoComputersStartingAtOnceSayNothingUntrue)
{
    if (const std::string missing = missingTools(true); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), a = makePlanning(patients);
    addUserFiles(a, "a");
    writeText(a + "/twin.txt", "the same bytes");
    // Killed at its second move of the take-over.
    const std::string b = cutOverwrite(patients, a, 2), bmp = a + "/implant/0/AV-CP-D40-L100.bmp";
    ASSERT_FALSE(b.empty());
    writeText(b + "/twin.txt", "the same bytes");
    copyAsIs(patients, kept);
    // Where a start is held: its n-th call of a kind on a path that ends so (MORVANTA_SAVE_HOLD).
    const struct
    {
        const char* step;
        bool elsewhereFirst;    // the other computer's start is held first, else this computer's
        std::string first;      // where the first is held
        std::string second{};   // where the second is held, if it is
        std::string stays{};    // an entry of A that stays (another file of its name is in B)
        bool takenAway = false; // the user takes it away while the first start is held
    } rows[] = {
        {"a move out of the replaced planning", true, "rename 1 " + a + "/letters"},
        {"between opening a folder a move meets in the new planning and looking into it", true,
         "list 1 " + b + "/system"},
        {"between the look at a file that meets its twin and the comparison of their bytes", true,
         "status 4 " + a + "/twin.txt"},
        {"between the look at a file of the replaced planning and its proof", true, "status 3 " + bmp},
        {"between the look at the replaced planning file and its read", true,
         "open 1 " + a + "/" + fs::path(a).filename().string() + ".srl"},
        {"the same, beside an entry that stays", true, "open 1 " + a + "/" + fs::path(a).filename().string() + ".srl",
         {}, "other.txt"},
        {"the look at an entry recorded as staying", true, "status 5 " + a + "/other.txt", {}, "other.txt"},
        {"the same, the entry taken away meanwhile", true, "status 5 " + a + "/other.txt", {}, "other.txt", true},
        {"before this computer's start takes the dead save's mark", false, "open 1 " + a + "/.morvanta-work"},
        {"this computer's start at the proof of a file, the other's at its first move", true,
         "rename 1 " + a + "/images", "status 3 " + bmp},
    };
    // On a local disk, and on a file server (both starts under the NFS client's rules).
    for (const bool onServer : {false, true})
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.step) + (onServer ? ", on a file server" : ""));
        const std::optional<NfsRule> nfs = onServer ? std::optional<NfsRule>(std::in_place, "without exchange", roundTrip) : std::nullopt;
        copyAsIs(kept, patients);
        if (!row.stays.empty()) {
            writeText(a + "/" + row.stays, "the replaced planning's");
            writeText(b + "/" + row.stays, "the new planning's");
        }
        QProcess here, elsewhere;
        QProcess& first = row.elsewhereFirst ? elsewhere : here;
        QProcess& second = row.elsewhereFirst ? here : elsewhere;
        const auto start = [&](QProcess& child, const std::string& hold) {
            QStringList wrapper = &child == &elsewhere ? asComputer(true) : QStringList{};
            if (!hold.empty())
                wrapper << "env" << QString::fromStdString("MORVANTA_SAVE_HOLD=" + hold);
            startChild(child, "start", patients, wrapper);
        };
        start(first, row.first);
        ASSERT_TRUE(heldAtItsStep(first));
        start(second, row.second);
        if (!row.second.empty()) {
            ASSERT_TRUE(heldAtItsStep(second));
            goOn(first);
            EXPECT_TRUE(first.waitForFinished(120000));
            // The held start's mark stays for it: the other removes only what nobody holds.
            EXPECT_TRUE(fs::exists(a + "/.morvanta-work"));
            goOn(second);
        } else {
            EXPECT_TRUE(second.waitForFinished(120000));
            if (row.takenAway)
                fs::remove(a + "/" + row.stays);
            goOn(first);
        }
        std::vector<std::string> told;
        for (QProcess* start : {&here, &elsewhere}) {
            std::vector<std::string> lines;
            EXPECT_EQ(said(*start, &lines), "started");
            for (const std::string& line : lines) {
                for (const char* untrue : {"set aside", "kept as", "does not hold", "no longer the file",
                                           "could not be", "not finished", "tries again"})
                    EXPECT_EQ(line.find(untrue), std::string::npos) << line;
                if (line.rfind("told: ", 0) == 0)
                    told.push_back(line.substr(6));
            }
        }
        // What stays is told as the save would have, by a start that took the folder over.
        for (const std::string& text : told)
            EXPECT_EQ(text, "The planning in " + b + " replaced the planning in " + a +
                                ". What could not move into it stays in " + a + ", which is no planning any more: " +
                                row.stays + " (a different file of that name is in the new planning).");
        EXPECT_EQ(told.empty(), row.stays.empty());
        if (onServer)
            imitateNfs(false, std::chrono::milliseconds(roundTrip));
        StartRecovery::finishInterrupted({patients});
        FolderHandle::setFaultInjector({});
        FolderHandle::imitateSillyRename(false);
        EXPECT_EQ(listed(patients), std::vector<std::string>{b});
        EXPECT_EQ(readBytes(b + "/letters/a.pdf") + readBytes(b + "/twin.txt"), "a letter athe same bytes");
        if (row.stays.empty() || row.takenAway) {
            EXPECT_FALSE(fs::exists(a));
            expectEveryFileInAListedPlanning(patients);
        } else {
            EXPECT_EQ(entries(a), std::set<std::string>{row.stays});
        }
        EXPECT_EQ(entries(patients, true), std::set<std::string>{});
        if (::testing::Test::HasFailure())
            return;
    }
}

// On a file server, where a new mark or lock stands unlocked under its temporary name for the
// round trips between making and locking it (20 ms, 2 ms), and every start that judges one takes
// as long to read the server's clock: starts at once after an overwrite cut off in its take-over,
// and an overwrite or a save as new of the new planning beside two starts, leave each other's new
// files, working folders and reserved folders alone, whether the server's clock runs with this
// computer's, twelve minutes behind it or ten ahead (round by round). Each start says nothing
// untrue (no mark that could not be made, nothing left for a next start), the stale origin lock
// is told removed by one of them alone, and a save ends saved. A start an hour later leaves one
// planning with every file (and the new one, saved as new) and nothing hidden.
TEST(SavingTurns, OnAFileServerStartsAtOnceLeaveEachOthersNewMarksAlone)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), a = makePlanning(patients);
    addUserFiles(a, "a");
    const std::string base = work.file("base");
    copyAsIs(patients, base);
    // The server's clock (s) ahead of this computer's; the cut overwrite is made under each, as
    // its record keeps the times the server gave its files.
    const int clocks[] = {0, -720, 600};
    std::string b;
    for (const int clock : clocks) {
        copyAsIs(base, patients);
        const NfsRule nfs("without exchange", 0, clock);
        b = cutOverwrite(patients, a, 2);
        ASSERT_FALSE(b.empty());
        copyAsIs(patients, work.file("kept" + std::to_string(clock)));
    }
    const std::string lock = patients + "/." + fs::path(a).filename().string() + ".lock";
    ASSERT_TRUE(fs::exists(lock));
    const struct
    {
        const char* what;
        int gap;          // ms between making a file under a temporary name and locking it
        int starts;       // at once
        const char* save; // "overwrite" or "new" of the new planning beside them, or none
    } rows[] = {{"three starts, 20 ms", 20, 3, nullptr},
                {"three starts, 2 ms", 2, 3, nullptr},
                {"a save beside two starts, 20 ms", 20, 2, "overwrite"},
                {"a save as new beside two starts, 20 ms", 20, 2, "new"}};
    for (const auto& row : rows)
        for (int round = 0; round < 9; ++round) {
            const int clock = clocks[round % 3];
            SCOPED_TRACE(std::string(row.what) + ", round " + std::to_string(round) + ", the server's clock " +
                         std::to_string(clock) + " s ahead");
            copyAsIs(work.file("kept" + std::to_string(clock)), patients);
            std::vector<std::unique_ptr<QProcess>> children;
            const int count = row.starts + (row.save ? 1 : 0);
            {
                const NfsRule nfs("without exchange", row.gap, clock);
                for (int i = 0; i < count; ++i) {
                    children.push_back(std::make_unique<QProcess>());
                    startChild(*children.back(), i < row.starts ? "start" : row.save, i < row.starts ? patients : b,
                               {}, true);
                }
            }
            // Let go together, once each has loaded.
            for (const auto& child : children)
                goOn(*child);
            int removedLock = 0;
            std::string savedAsNew;
            for (std::size_t i = 0; i < children.size(); ++i) {
                std::vector<std::string> lines;
                const Said end = said(*children[i], &lines);
                if (int(i) < row.starts) {
                    EXPECT_EQ(end, "started");
                } else {
                    EXPECT_EQ(end.rfind("saved ", 0), 0u) << ::testing::PrintToString(end);
                    if (std::string(row.save) == "new" && end.rfind("saved ", 0) == 0)
                        savedAsNew = end.substr(6);
                }
                for (const std::string& line : lines) {
                    for (const char* untrue : {"No such file", "could not", "not finished", "tries again", "looked at again"})
                        EXPECT_EQ(line.find(untrue), std::string::npos) << line;
                    removedLock += line == "removed the stale lock " + lock;
                }
            }
            // A save may take the lock over itself; else one start removes it.
            EXPECT_EQ(removedLock, row.save ? std::min(removedLock, 1) : 1);
            startAnHourLater(patients, true, std::chrono::seconds(clock));
            std::vector<std::string> plannings = listed(patients);
            if (!savedAsNew.empty()) {
                EXPECT_EQ(std::erase(plannings, savedAsNew), 1u);
                Session any;
                EXPECT_EQ(load(any, savedAsNew), "");
            }
            ASSERT_EQ(plannings.size(), 1u);
            EXPECT_EQ(readBytes(plannings.front() + "/letters/a.pdf"), "a letter a");
            expectEveryFileInAListedPlanning(patients);
            EXPECT_EQ(entries(patients, true), std::set<std::string>{});
            if (::testing::Test::HasFailure())
                return;
        }
}

// An overwrite beside a second patient folder whose file server stops answering (every call there
// held until the test ends), or answers slowly (opens and looks 20 ms each) for its 300 plannings of
// other patients, all older than the planning saved over, also where another patient's planning
// was saved there since (then each planning folder there is looked at: longer in all than the look
// waits for a folder that makes no step): the overwrite saves. The silent folder is left out of the
// look for a later save of the planning, and the save says so; the slow one is looked through to
// its end, opening only the planning file saved since.
TEST(SavingTurns, AnOverwriteLooksForALaterSaveOnlyWhereFoldersAnswer)
{
    TestSupport::ScratchDir work;
    const std::string other = work.file("other");
    const auto planningIn = [&](const std::string& name) {
        writeText(other + "/" + name + "/" + name + ".srl",
                  "[Planningdata]\nlastModified = 01/01/2020 00:00:00\norigin = " + name + "\n");
    };
    for (int i = 0; i < 300; ++i)
        planningIn("2020-01-01__00-00-00-" + std::to_string(i));
    const std::string patients = work.file("patients");
    makePlanning(patients);
    enum { silent, slow, savedSince };
    for (const int row : {silent, slow, savedSince}) {
        SCOPED_TRACE(row == silent ? "a folder that stops answering" : row == slow ? "a slow folder" : "a slow folder saved in since");
        if (row == savedSince)
            planningIn("2030-01-01__00-00-00-0");
        Session s;
        writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + ";" + other + "\n");
        ASSERT_EQ(listed(patients).size(), 1u);
        ASSERT_EQ(load(s, listed(patients).front()), "");
        struct Held
        {
            std::mutex mutex;
            std::condition_variable released;
            bool free = false;
        };
        const auto held = std::make_shared<Held>();
        const auto opened = std::make_shared<std::atomic<int>>(0);
        FolderHandle::setFaultInjector([=](FolderHandle::SystemCall call, const std::string& path) {
            if (path.rfind(other, 0) != 0)
                return 0;
            if (row == silent) {
                std::unique_lock lock(held->mutex);
                held->released.wait(lock, [&] { return held->free; });
                return EIO;
            }
            if (call == FolderHandle::SystemCall::open && path.ends_with(".srl"))
                ++*opened;
            // Opens and looks wait, as the round trips to a slow server do; a listing comes in a few.
            if (call == FolderHandle::SystemCall::open || call == FolderHandle::SystemCall::status)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return 0;
        });
        std::vector<std::string> notes;
        {
            PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, true);
            EXPECT_TRUE(writer.start()) << writer.getErrorMessage();
            notes = writer.getNotes();
        }
        FolderHandle::setFaultInjector({});
        {
            const std::lock_guard lock(held->mutex);
            held->free = true;
        }
        held->released.notify_all();
        EXPECT_EQ(notes, row == silent ? std::vector<std::string>{other + " did not answer within 5 seconds and was "
                                                                          "left out of the look for a later save of "
                                                                          "this planning. A later planning there, if "
                                                                          "any, is kept and shows beside this one once "
                                                                          "the folder answers."}
                                       : std::vector<std::string>{});
        EXPECT_EQ(*opened, row == savedSince ? 1 : 0);
        EXPECT_EQ(listed(patients).size(), 1u);
    }
}
