// Saves that fail, die or race: a full disk, a kill at any step, two saves as new at once.
#include "PlanningSaveTestSupport.h"
#include "common/SmallDisk.h"

#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/io/DicomImport.h"
#include "planning/io/LoadedPlanning.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/io/saving/WorkMark.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/mesh/MeshFactory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <atomic>
#include <optional>
#include <cstring>
#include <thread>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <tuple>
#include <set>

namespace fs = std::filesystem;
using namespace PlanningIoTest;

using namespace PlanningSaveTest;

// Waits until the clock of the file system that holds `file` has gone on from the time it gave the
// file, so that what is written next is stamped later.
static void waitForTheNextTick(const std::string& file)
{
    const std::string probe = file + ".tick";
    for (const auto written = fs::last_write_time(file);; std::this_thread::yield()) {
        writeText(probe, "");
        if (fs::last_write_time(probe) > written)
            break;
    }
    fs::remove(probe);
}

// With MORVANTA_SAVE_HOLD "<call> <n> <path>" (a FolderHandle::SystemCall by its name), the child
// holds before its n-th call of that kind on a path that ends so: it says "@@ held", and makes the
// call once a line comes on its input (not beside MORVANTA_SAVE_NO_LOCKS).
void holdAtStep()
{
    const QStringList hold = qEnvironmentVariable("MORVANTA_SAVE_HOLD").split(' ');
    if (hold.size() < 3)
        return;
    static const QStringList calls{"open",   "duplicate", "status", "list",       "read", "write",  "truncate", "sync",
                                   "lock",   "rename",    "remove", "makeFolder", "link", "access", "mode"};
    const auto call = FolderHandle::SystemCall(calls.indexOf(hold[0]));
    const int n = hold[1].toInt();
    const std::string path = hold.mid(2).join(' ').toStdString();
    FolderHandle::setFaultInjector([call, n, path, count = std::make_shared<std::atomic<int>>(0)](
                                       FolderHandle::SystemCall made, const std::string& on) {
        if (made == call && on.ends_with(path) && ++*count == n) {
            std::cout << "@@ held" << std::endl;
            std::string go;
            std::getline(std::cin, go);
        }
        return 0;
    });
}

// A program instance of its own: loads the planning MORVANTA_SAVE_PLANNING, drops its first
// implant and saves it (MORVANTA_SAVE_CHILD "overwrite" or "new"); or "start": finishes what
// saves left in the patient folder MORVANTA_SAVE_PLANNING, as a start of the program does; or
// "lock", "mark": takeAndHold. With MORVANTA_SAVE_NO_LOCKS, on a file system that takes no locks;
// with MORVANTA_SAVE_NFS_LOCKS, on one that locks exclusively only what is open for writing, makes
// no nameless files and renames a removed file that is open (NFS; "without exchange", it
// exchanges no files either), with MORVANTA_SAVE_NFS_GAP ms between making a file under a
// temporary name and the next step on it, and its clock MORVANTA_SAVE_NFS_CLOCK s ahead of this
// computer's.
TEST(DISABLED_SaveChild, Run)
{
    if (qEnvironmentVariableIsSet("MORVANTA_SAVE_NO_LOCKS"))
        FolderHandle::setFaultInjector([](FolderHandle::SystemCall call, const std::string&) {
            return call == FolderHandle::SystemCall::lock ? ENOLCK : 0;
        });
    else if (const QString nfs = qEnvironmentVariable("MORVANTA_SAVE_NFS_LOCKS"); !nfs.isEmpty())
        imitateNfs(nfs != "without exchange", std::chrono::milliseconds(qEnvironmentVariableIntValue("MORVANTA_SAVE_NFS_GAP")),
                   std::chrono::seconds(qEnvironmentVariableIntValue("MORVANTA_SAVE_NFS_CLOCK")));
    const QString action = qEnvironmentVariable("MORVANTA_SAVE_CHILD");
    const std::string planning = qEnvironmentVariable("MORVANTA_SAVE_PLANNING").toStdString();
    holdAtStep();
    const auto ready = [] {
        if (!qEnvironmentVariableIsSet("MORVANTA_SAVE_WAIT"))
            return;
        std::cout << "@@ ready" << std::endl;
        std::string go;
        std::getline(std::cin, go);
    };
    if (action == "lock" || action == "mark") {
        ready();
        return takeAndHold(action.toStdString(), planning);
    }
    if (action == "start") {
        ready();
        const StartRecovery::Report report = StartRecovery::finishInterrupted({planning});
        for (const std::string& line : report.lines)
            std::cout << "@@ note " << line << std::endl;
        for (const std::string& line : report.toTell)
            std::cout << "@@ note told: " << line << std::endl;
        std::cout << "@@ started" << std::endl;
        return;
    }
    Session s;
    writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + fs::path(planning).parent_path().string() + "\n");
    ASSERT_EQ(load(s, planning), "");
    s.model->getImplantManager()->removeImplant(s.model->getImplantManager()->getImplant(1));
    // Names drawn from a clock that stands: the first one a save as new takes is known, and so is
    // an overwrite's (an hour earlier).
    static std::atomic<int> draws{0};
    static const QDateTime clock(QDate(2030, 1, 1), QTime(action == "new" ? 8 : 7, 0));
    Utilities::setClock([] { return clock.addMSecs(draws++); });
    ready();
    std::string error;
    try {
        PlanningWriter writer(PlanningWriter::reserveFile(fs::path(planning).parent_path().string()), s.model,
                              s.settings, action == "overwrite");
        // A picture of the session's goes in with the planning, as the main window has it.
        if (const std::string carry = qEnvironmentVariable("MORVANTA_SAVE_CARRY").toStdString(); !carry.empty())
            writer.carryIn(carry, "images/" + fs::path(carry).filename().string(), true);
        writer.start();
        error = writer.getErrorMessage();
        for (std::string note : writer.getNotes()) {
            for (auto at = note.find('\n'); at != std::string::npos; at = note.find('\n', at + 2))
                note.replace(at, 1, "\\n");
            std::cout << "@@ note " << note << std::endl;
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    // One line: the line breaks of an error as "\n".
    for (auto at = error.find('\n'); at != std::string::npos; at = error.find('\n', at + 2))
        error.replace(at, 1, "\\n");
    std::cout << "@@ " << (error.empty() ? "saved " + fs::path(s.settings->getPlanningFile()).parent_path().string()
                                         : "refused " + error)
              << std::endl;
}

// An overwrite of a planning with a 4.8 MB 3D model on a disk with little room, or that runs out
// of files at every step up to the 3D model: it says that the planning was not saved, that the
// disk is full, with the file as the new planning would have held it (never a hidden working
// folder or a folder that was never made), and where the planning loaded is; that folder stays
// byte for byte.
TEST(PlanningSaveSafety, AFullDiskIsToldWithItsCauseAndTheFileAsTheUserWouldFindIt)
{
    if (!SmallDisk::rerunInside(48ull << 20, {}, "nr_inodes=2000"))
        return;
    const std::string patients = SmallDisk::clear("patients"), old = makePlanning(patients);
    Session s;
    ASSERT_EQ(load(s, old), "");
    s.model->set3DModel(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)), {60, 50, 40}, 400, 250));
    const auto before = snapshot(patients);
    const QRegularExpression told(
        "^The planning was not saved\\.\nThe disk is full: the new planning(?:'s (.+)| folder in " +
        QRegularExpression::escape(QString::fromStdString(patients)) + ") could not be written\\.\n" +
        "The planning loaded is unchanged in " + QRegularExpression::escape(QString::fromStdString(old)) + "\\.$");
    // The file the overwrite names.
    const auto overwrite = [&](const std::string& row) {
        SCOPED_TRACE(row);
        const std::string error = save(s, patients, true);
        fs::remove(SmallDisk::path() + "/filler");
        fs::remove_all(SmallDisk::path() + "/inodes");
        EXPECT_EQ(snapshot(patients), before);
        EXPECT_EQ(s.settings->getPlanningFile(), old + "/" + fs::path(old).filename().string() + ".srl");
        const QRegularExpressionMatch match = told.match(QString::fromStdString(error));
        EXPECT_TRUE(match.hasMatch()) << error;
        return match.captured(1).toStdString();
    };
    for (const unsigned long long free : {512ull << 10, 2ull << 20}) {
        SmallDisk::leaveFree(free);
        EXPECT_EQ(overwrite(std::to_string(free >> 10) + " KiB free"), "surface/model.sff");
    }
    std::set<std::string> stages;
    for (unsigned long long files = 0; stages.count("surface/model.sff") == 0 && files < 30; ++files) {
        SmallDisk::leaveInodes(files);
        stages.insert(overwrite(std::to_string(files) + " files left"));
    }
    EXPECT_EQ(stages.count("surface/model.sff"), 1u) << "the files ran out before the 3D model";
}

// Of the saves of one origin, the last saved is found, by the file server's time of its planning
// file, whatever the clocks of the computers that saved them stored; within one tick of that
// clock by the stored time, and by the time-stamp name also when its milliseconds have fewer digits.
TEST(PlanningSaveSafety, TheLastSavedFolderOfAnOriginIsFoundByItsSaveTime)
{
    // Folders (name, lastModified) in the order they are made; the last one is the last saved.
    const std::string t = "05/06/2024 10:00:00";
    const std::vector<std::pair<std::string, std::string>> rows[] = {
        {{"2024-05-06__10-00-00-9", t}, {"2024-05-06__10-00-00-10", t}, {"2024-05-06__10-00-00-100", t}},
        {{"2024-05-06__10-00-00-99", t}, {"2024-05-06__10-00-01-5", "05/06/2024 10:00:01"}},
        // Across a year's end the month comes before the year.
        {{"2024-12-31__23-59-59-999", "12/31/2024 23:59:59"}, {"2025-01-01__00-00-00-1", "01/01/2025 00:00:00"}},
        {{"b", t}, {"a", "05/06/2024 10:00:02"}},
        // C2 saved on a clock 15 minutes ahead, D after it on one 12 minutes behind.
        {{"2024-05-06__10-15-00-0", "05/06/2024 10:15:00"}, {"2024-05-06__09-48-00-0", "05/06/2024 09:48:00"}},
    };
    for (const bool oneTick : {false, true})
        for (const auto& row : rows) {
            if (oneTick && &row == std::end(rows) - 1)
                continue; // within one tick the stored times tell, and these are the clocks'

            SCOPED_TRACE(row.back().first + (oneTick ? ", all in one tick of the server's clock" : ""));
            TestSupport::ScratchDir dir;
            std::optional<fs::file_time_type> tick;
            for (const auto& [name, time] : row) {
                const std::string file = dir.file("patients/" + name + "/" + name + ".srl");
                writeText(file, "[Planningdata]\nlastModified = " + time + "\norigin = first\n");
                if (oneTick)
                    fs::last_write_time(file, tick.value_or(fs::last_write_time(file)));
                else
                    waitForTheNextTick(file);
                tick = fs::last_write_time(file);
            }
            EXPECT_EQ(PlanningFinder::findByOrigin({dir.file("patients")}, "first"), dir.file("patients/" + row.back().first));
        }
}

// The overwrite of a planning (with a picture of the session's to carry in) killed at each file it
// makes, each rename and each removal (strace kills it at the n-th call of that kind). At once, and after
// another computer's start, every computer lists a planning that loads, and the old one's
// recording and picture and the new picture are in a listed planning's folder (the new picture
// still waits where it was taken while its planning is not listed). The crashed computer's next
// start, also under a new host name, leaves exactly one planning and nothing hidden. On a local
// disk, and on a file server (every instance under the NFS client's rules).
static void saveKilledAtAnyStep(bool onServer)
{
    if (const std::string missing = missingTools(true); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    const std::string picture = work.file("Images/new.bmp");
    fs::copy(patients, kept, fs::copy_options::recursive);
    // Where each file is to be found: in a listed planning, or where it waits.
    const auto holds = [&](const std::string& file, const std::string& text, bool orWaiting) {
        if (orWaiting && readBytes(picture) == text)
            return true;
        for (const std::string& planning : listed(patients))
            if (readBytes(planning + "/" + file) == text)
                return true;
        return false;
    };
    const auto everyComputerSees = [&](const char* when) {
        SCOPED_TRACE(when);
        const std::vector<std::string> plannings = listed(patients);
        ASSERT_FALSE(plannings.empty());
        for (const std::string& planning : plannings) {
            Session any;
            EXPECT_EQ(load(any, planning), "") << planning;
        }
        EXPECT_TRUE(holds("system/session.log", "the recording", false));
        EXPECT_TRUE(holds("images/shot.bmp", "the picture", false));
        EXPECT_TRUE(holds("images/new.bmp", "the new picture", true));
    };
    int kills = 0;
    // Files are made (linked in) where the series, the descriptions, the model and the pictures go.
    QStringList staged;
    for (const char* folder : {"dicom", "implant/0", "implant/1", "surface", "images", "system"})
        staged << "-P" << QString::fromStdString(patients + "/.2030-01-01__07-00-00-0.saving0/" + folder);
    const std::pair<std::string, QStringList> calls[] = {{"linkat", staged}, {"renameat2", {}}, {"unlinkat", {}}, {"rmdir", {}}};
    for (const auto& [call, only] : calls) {
        const std::optional<NfsRule> nfs = onServer ? std::optional<NfsRule>(std::in_place, "without exchange", roundTrip) : std::nullopt;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(call + " #" + std::to_string(n) + (onServer ? " on a file server" : ""));
            fs::remove_all(patients);
            fs::copy(kept, patients, fs::copy_options::recursive);
            writeText(picture, "the new picture");
            QProcess child;
            startChild(child, "overwrite", origin,
                       QStringList{"strace", "-f", "-qq", "-o", "/dev/null"} + only +
                           QStringList{"-e", "trace=" + QString::fromStdString(call), "-e",
                                       QString("inject=%1:signal=KILL:when=%2").arg(QString::fromStdString(call)).arg(n)},
                       false, picture);
            const Said saved = said(child);
            everyComputerSees("at once");
            QProcess elsewhere;
            startChild(elsewhere, "start", patients, asComputer(true));
            std::vector<std::string> told;
            ASSERT_EQ(said(elsewhere, &told), "started");
            everyComputerSees("after another computer's start");
            // The save died: nothing calls it at work.
            for (const std::string& line : told) {
                EXPECT_EQ(line.find("at work"), std::string::npos) << line;
                EXPECT_EQ(line.find(std::strerror(EBUSY)), std::string::npos) << line;
            }
            // The crashed computer's next start, every other time under a new host name.
            if (kills % 2) {
                QProcess renamed;
                startChild(renamed, "start", patients, asComputer(false));
                ASSERT_EQ(said(renamed), "started");
            } else {
                if (onServer)
                    imitateNfs(false, std::chrono::milliseconds(roundTrip));
                const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
                FolderHandle::setFaultInjector({});
                FolderHandle::imitateSillyRename(false);
                for (const std::string& line : report.toTell)
                    EXPECT_EQ(line.find(std::strerror(EBUSY)), std::string::npos) << line;
            }
            const std::set<std::string> left = entries(patients);
            ASSERT_EQ(left.size(), 1u);
            EXPECT_EQ(entries(patients, true), std::set<std::string>{});
            const std::string planning = patients + "/" + *left.begin();
            Session next;
            EXPECT_EQ(load(next, planning), "");
            const std::size_t implants = next.model->getImplantManager()->numberOfImplants();
            EXPECT_TRUE(implants == 2 || implants == 1) << implants;
            EXPECT_EQ(readBytes(planning + "/system/session.log"), "the recording");
            EXPECT_EQ(readBytes(planning + "/images/shot.bmp"), "the picture");
            EXPECT_TRUE(readBytes(picture) == "the new picture" || readBytes(planning + "/images/new.bmp") == "the new picture");
            if (!saved.empty()) {
                EXPECT_EQ(saved, "saved " + planning);
                EXPECT_EQ(implants, 1u);
                EXPECT_FALSE(fs::exists(picture));
                break;
            }
            ++kills;
        }
    }
    EXPECT_GE(kills, 6) << "the overwrite publishes, moves the old planning's files over and removes it";
}

TEST(PlanningSaveSafety, ASaveKilledAtAnyStepLeavesThePlanningListedEverywhere) { saveKilledAtAnyStep(false); }
TEST(PlanningSaveSafety, ASaveKilledAtAnyStepOnAFileServerLeavesThePlanningListedEverywhere) { saveKilledAtAnyStep(true); }

// On a file server, an overwrite and a save as new killed at each lock they take (strace kills
// them at the n-th flock), among them the locks of the marks and the origin lock they make under
// a temporary name: a start at once says nothing untrue and leaves what a maker may still be at;
// a start an hour later leaves nothing of the cut save: every folder in the patient folder is a
// listed planning that loads, and nothing hidden is left.
TEST(PlanningSaveSafety, ASaveCutWhileItMakesAMarkOrLockLeavesNothingForGood)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    copyAsIs(patients, kept);
    const NfsRule nfs("without exchange", roundTrip);
    for (const char* action : {"overwrite", "new"}) {
        int kills = 0;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(action) + ", killed at flock #" + std::to_string(n));
            copyAsIs(kept, patients);
            QProcess child;
            startChild(child, action, origin,
                       {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=flock", "-e",
                        QString("inject=flock:signal=KILL:when=%1").arg(n)});
            if (said(child).starts_with("saved "))
                break;
            ++kills;
            imitateNfs(false, std::chrono::milliseconds(roundTrip));
            const StartRecovery::Report atOnce = StartRecovery::finishInterrupted({patients});
            FolderHandle::setFaultInjector({});
            FolderHandle::imitateSillyRename(false);
            for (const auto* lines : {&atOnce.lines, &atOnce.toTell})
                for (const std::string& line : *lines)
                    for (const char* untrue : {"at work", "could not", "looked at again", "No such file"})
                        EXPECT_EQ(line.find(untrue), std::string::npos) << line;
            const StartRecovery::Report later = startAnHourLater(patients, true);
            EXPECT_EQ(later.toTell, std::vector<std::string>{});
            EXPECT_EQ(entries(patients, true), std::set<std::string>{});
            std::set<std::string> plannings;
            for (const std::string& planning : listed(patients)) {
                plannings.insert(fs::path(planning).filename().string());
                Session any;
                EXPECT_EQ(load(any, planning), "") << planning;
            }
            EXPECT_EQ(entries(patients), plannings);
            if (::testing::Test::HasFailure())
                return;
        }
        EXPECT_GE(kills, 3) << action;
    }
}

// A planning holding the folders of two earlier plannings whose take-over was cut off, one inside
// the other, each with a treatment log, a picture and a note of the user's: overwritten, every
// file is in the new planning, also after the next start, and nothing hidden is left in it. A
// picture that meets one of its name stays, whole, where it was, and the save says so.
TEST(PlanningSaveSafety, ASaveTakesOverWhatEarlierTakeOversLeftInThePlanning)
{
    for (const bool clash : {false, true}) {
        SCOPED_TRACE(clash ? "a picture of the same name" : "all names free");
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients"), old = makePlanning(patients);
        const std::string z = "2024-01-01__10-00-00-1", y = "2023-06-01__09-00-00-2";
        const std::string outer = "/.previous-" + z, inner = outer + "/.previous-" + y;
        // Each folder's files, as they are to be found in the new planning.
        const std::map<std::string, std::string> files[] = {
            {{"Log/day1.log", "treatment 1"}, {"images/shot1.bmp", "picture 1"}, {"notes.txt", "the user's"}},
            {{"Log/day0.log", "treatment 0"}, {"images/shot0.bmp", "picture 0"}, {"todo.txt", "the user's too"}}};
        const std::pair<std::string, std::string> folders[] = {{outer, z}, {inner, y}};
        for (int i = 0; i < 2; ++i) {
            const auto& [folder, name] = folders[i];
            for (const auto& [file, text] : files[i])
                writeText(old + folder + "/" + file, text);
            writeText(old + folder + "/dicom/CT1.dcm", "series " + name);
            PlanningFile planning;
            planning.version = Vexa::getProgramVersion();
            planning.dicomFiles = {"dicom/CT1.dcm"};
            planning.write(old + folder + "/" + name + ".srl");
        }
        if (clash)
            writeText(old + inner + "/images/shot.bmp", "an older picture");
        Session s;
        ASSERT_EQ(load(s, old), "");
        PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, true);
        ASSERT_TRUE(writer.start()) << writer.getErrorMessage();
        const std::string saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
        // With the clash, the older picture stays where it was, and the folders around it.
        const std::string older = old + inner + "/images/shot.bmp";
        const std::string nested = old + inner;
        EXPECT_EQ(writer.getNotes(), clash ? std::vector<std::string>{"The planning in " + saved + " replaced the planning "
                                                                      "in " + nested + ". What could not move into it "
                                                                      "stays in " + nested + ", which is no planning any "
                                                                      "more: images/shot.bmp (a different file of that "
                                                                      "name is in the new planning)."}
                                           : std::vector<std::string>{});
        std::set<std::string> left{fs::path(saved).filename().string()};
        if (clash)
            left.insert(fs::path(old).filename().string());
        for (const char* when : {"saved", "after the next start"}) {
            SCOPED_TRACE(when);
            EXPECT_EQ(entries(patients), left);
            for (const auto& level : files)
                for (const auto& [file, text] : level)
                    EXPECT_EQ(readBytes(saved + "/" + file), text) << file;
            EXPECT_EQ(readBytes(saved + "/images/shot.bmp"), "the picture");
            EXPECT_EQ(readBytes(saved + "/system/session.log"), "the recording");
            EXPECT_EQ(entries(saved, true), std::set<std::string>{});
            if (clash) {
                EXPECT_EQ(readBytes(older), "an older picture");
            }
            StartRecovery::finishInterrupted({patients});
        }
    }
}

// The overwrite of one program instance held (strace) before the rename that publishes its
// planning and before its first move of the old planning's files, while another installation (a
// program folder of its own, the same patient folder) starts and finishes what crashes left
// there; then a start held inside the removal of a dead save's leftovers while the overwrite
// commits. The start leaves the save alone, and the save publishes a planning that loads, with the
// old one's recording and picture; nothing else is left.
TEST(PlanningSaveSafety, AStartLeavesASaveAtWorkAlone)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), planning = makePlanning(patients);
    {
        // A real 3D model (some 4.8 MB).
        Session s;
        ASSERT_EQ(load(s, planning), "");
        s.model->set3DModel(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)), {60, 50, 40}, 400, 250));
        ASSERT_EQ(save(s, patients, true), "");
    }
    const std::string old = patients + "/" + *entries(patients).begin(), name = "2030-01-01__07-00-00-";
    fs::copy(patients, kept, fs::copy_options::recursive);
    // Where the save is held (the call, the folder it acts in): before it is published, before the
    // first of the old folder's entries moves.
    const std::pair<QString, std::string> holds[] = {{"renameat", patients}, {"renameat2", old}, {"", ""}};
    for (const auto& [call, held] : holds) {
        SCOPED_TRACE("held at " + held);
        QProcess saver;
        std::string saved = patients + "/" + name + "0";
        if (held.empty()) {
            // A save that died before its commit, at the first file of its series (its reserved name
            // taken): a start removes what it left, held at its first removal while the next save runs.
            startChild(saver, "overwrite", old, {"strace", "-f", "-qq", "-o", "/dev/null", "-P",
                                                 QString::fromStdString(patients + "/." + name + "0.saving0/dicom"), "-e",
                                                 "trace=linkat", "-e", "inject=linkat:signal=KILL:when=1"});
            ASSERT_EQ(said(saver), "");
            QProcess start;
            startChild(start, "start", patients, {}, true);
            {
                Tracer tracer(start, "unlinkat", "", true);
                ASSERT_TRUE(tracer.saw("unlinkat("));
                startChild(saver, "overwrite", old);
                saved = patients + "/" + name + "1";
                EXPECT_EQ(said(saver), "saved " + saved);
            }
            EXPECT_EQ(said(start), "started");
        } else {
            startChild(saver, "overwrite", old, {}, true);
            {
                Tracer tracer(saver, call, held, true);
                ASSERT_TRUE(tracer.saw(call.toStdString() + "("));
                // Taking the old planning over, the save is at work in both folders.
                const std::vector<std::string> left =
                    call == "renameat" ? std::vector<std::string>{"left " + patients + "/." + name + "0.saving0: a save is at work in it"}
                                     : std::vector<std::string>{"left " + old + ": another instance is at work in it",
                                                                "left " + saved + ": another instance is at work in it"};
                EXPECT_EQ(StartRecovery::finishInterrupted({patients}).lines, left);
            }
            EXPECT_EQ(said(saver), "saved " + saved);
        }
        EXPECT_EQ(entries(patients), std::set<std::string>{fs::path(saved).filename().string()});
        EXPECT_EQ(entries(patients, true), std::set<std::string>{});
        Session next;
        EXPECT_EQ(load(next, saved), "");
        EXPECT_EQ(next.model->getImplantManager()->numberOfImplants(), 1u);
        EXPECT_EQ(readBytes(saved + "/system/session.log") + readBytes(saved + "/images/shot.bmp"), "the recordingthe picture");
        fs::remove_all(patients);
        fs::copy(kept, patients, fs::copy_options::recursive);
    }
}

// An instance saves as new while another's overwrite of the same planning is held in removing the
// old planning's files (its planning file and series gone already, the new planning published): it
// takes the series from the planning that overwrite published, beside which it saves, without
// waiting for the overwrite to be through.
TEST(PlanningSaveSafety, ASaveAsNewBesideAnOverwriteRetiringTheOldPlanningSavesBeside)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    QProcess overwrite, asNew;
    startChild(overwrite, "overwrite", old, {}, true);
    startChild(asNew, "new", old, {}, true);
    {
        Tracer held(overwrite, "unlinkat", old + "/surface", true);
        ASSERT_TRUE(held.saw("unlinkat("));
        asNew.write("go\n");
        EXPECT_EQ(said(asNew), "saved " + patients + "/2030-01-01__08-00-00-0");
    }
    EXPECT_EQ(said(overwrite), "saved " + patients + "/2030-01-01__07-00-00-0");
    EXPECT_EQ(entries(patients), (std::set<std::string>{"2030-01-01__07-00-00-0", "2030-01-01__08-00-00-0"}));
    Session next;
    EXPECT_EQ(load(next, patients + "/2030-01-01__08-00-00-0"), "");
}

// Two instances save as new at once and draw the same time-stamp name first: the name taken by
// the other is no failure, the next one is drawn, and two plannings stand beside the one both loaded.
TEST(PlanningSaveSafety, TwoSavesAsNewInOneMillisecondGiveTwoPlannings)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), origin = makePlanning(patients);
    QProcess children[2];
    for (QProcess& child : children)
        startChild(child, "new", origin);
    std::set<std::string> saved;
    for (QProcess& child : children)
        saved.insert(said(child));
    EXPECT_EQ(saved, (std::set<std::string>{"saved " + patients + "/2030-01-01__08-00-00-0",
                                            "saved " + patients + "/2030-01-01__08-00-00-1"}));
    EXPECT_EQ(entries(patients), (std::set<std::string>{fs::path(origin).filename().string(), "2030-01-01__08-00-00-0",
                                                        "2030-01-01__08-00-00-1"}));
    for (const std::string& name : entries(patients))
        EXPECT_TRUE(fs::is_regular_file(patients + "/" + name + "/" + name + ".srl")) << name;
    EXPECT_EQ(entries(patients, true), std::set<std::string>{});
}

// What saves of earlier program versions, and saves that died, left behind is finished at the
// next start; what the program did not make stays. On a local disk, and on a file server (the
// start under the NFS client's rules).
TEST(PlanningSaveSafety, TheNextStartFinishesWhatEarlierVersionsLeft)
{
    using Files = std::map<std::string, std::string>;
    const std::string p = "2024-01-01__10-00-00-5", n = "2024-01-01__10-05-00-7", aside = "." + p + ".previous0",
                      staging = "." + n + ".saving0", mark = WorkMark::fileName;
    // The planning `name` in `folder`, beside the files given.
    const auto planning = [](const std::string& folder, const std::string& name, Files files) {
        files[folder + "/" + name + ".srl"] = "planning " + name;
        files[folder + "/dicom/CT1.dcm"] = "series";
        return files;
    };
    const Files lookAlikes = planning(n, n, {{".x.saving2/a.txt", "the user's"},
                                             {".x.saving2/.previous-q/q.srl", "the user's"},
                                             {".y.previous1/b.txt", "the user's"},
                                             {".album.previous1/album.txt", "the user's"},
                                             {".z.pdf.old001", "the user's"},
                                             {n + "/.report.pdf.old001", "the user's"},
                                             {n + "/images/.shot.bmp.x9Y8z7", "the user's"},
                                             {n + "/.previous-notes/notes.txt", "the user's"},
                                             {".other.lock", "the user's"}});
    // A record of the first format, and a file that is to be a hard link of another.
    const std::string record = ".morvanta-replaces-" + staging, link = "@link ",
                      record1 = "morvanta-replaces 1\n" + staging + "\n" + n + ".srl\ndicom/CT1.dcm\n";
    // Name, files before, files after (a save at work is left alone: AStartLeavesASaveAtWorkAlone).
    const std::tuple<std::string, Files, Files> rows[] = {
        // The old folder put aside, the new one not yet in place: the old one comes back.
        {"put aside, not replaced", planning(aside, p, {{aside + "/images/shot.bmp", "picture"}}),
         planning(p, p, {{p + "/images/shot.bmp", "picture"}})},
        // The new one in place: the pictures and recordings of the old one move over.
        {"put aside, replaced",
         planning(p, p, {{aside + "/" + p + ".srl", "old planning"}, {aside + "/system/session.log", "recording"}}),
         planning(p, p, {{p + "/system/session.log", "recording"}})},
        // A save that died before it wrote its name into its mark: its copies cut short go, a
        // user's hidden files stay.
        {"temporaries",
         planning(n, n, {{n + "/" + mark, ""}, {n + "/system/.session.log.morvanta-tmp-Ab12Cd", "half"},
                         {n + "/images/.shot.bmp.morvanta-tmp-x9Y8z7", "half"}, {n + "/images/.z.pdf.old001", "the user's"},
                         {n + "/.notes", "the user's"}}),
         planning(n, n, {{n + "/images/.z.pdf.old001", "the user's"}, {n + "/.notes", "the user's"}})},
        // A save that died before its commit (mark left) goes with its reserved folder; one of an
        // earlier version without a mark, which may still be at work, stays.
        {"unfinished", {{staging + "/" + mark, ""}, {staging + "/dicom/CT1.dcm", "copy"}, {n + "/", ""},
                        {"." + p + ".saving0/" + p + ".srl", "half"}},
         {{"." + p + ".saving0/" + p + ".srl", "half"}}},
        // A planning replaced in its own folder took the staging folder's name (a mark of the
        // save that died in it; the new planning's series are links of the old one's): the record
        // in the planning takes it over, nothing of the user's goes.
        {"replaced in its own folder",
         planning(n, n, {{n + "/" + record, record1}, {staging + "/" + n + ".srl", "old planning"},
                         {staging + "/dicom/CT1.dcm", link + n + "/dicom/CT1.dcm"},
                         {staging + "/notes.txt", "the user's"}, {staging + "/" + mark, ""}}),
         planning(n, n, {{n + "/notes.txt", "the user's"}})},
        // The same where the series are copies: nothing proves the folder to be the one replaced;
        // the record is set aside and nothing moves or goes.
        {"a record that its folder does not prove",
         planning(n, n, {{n + "/" + record, record1}, {staging + "/" + n + ".srl", "old planning"},
                         {staging + "/dicom/CT1.dcm", "series"}, {staging + "/notes.txt", "the user's"},
                         {staging + "/" + mark, ""}}),
         planning(n, n, {{n + "/.morvanta-set-aside-" + staging, record1}, {staging + "/" + n + ".srl", "old planning"},
                         {staging + "/dicom/CT1.dcm", "series"}, {staging + "/notes.txt", "the user's"},
                         {staging + "/" + mark, ""}})},
        {"a user's look-alikes", lookAlikes, lookAlikes},
    };
    for (const bool onServer : {false, true})
    for (const auto& [state, before, after] : rows) {
        SCOPED_TRACE(state + (onServer ? ", on a file server" : ""));
        TestSupport::ScratchDir dir;
        for (const auto& [file, text] : before)
            if (file.back() == '/')
                fs::create_directories(dir.file("patients/" + file));
            else if (text.rfind(link, 0) != 0)
                writeText(dir.file("patients/" + file), text);
        for (const auto& [file, text] : before)
            if (text.rfind(link, 0) == 0) {
                fs::create_directories(fs::path(dir.file("patients/" + file)).parent_path());
                fs::create_hard_link(dir.file("patients/" + text.substr(link.size())), dir.file("patients/" + file));
            }
        if (onServer)
            imitateNfs(false, std::chrono::milliseconds(roundTrip));
        const bool nothingDone = StartRecovery::finishInterrupted({dir.file("patients")}).lines.empty();
        endNfs();
        EXPECT_EQ(nothingDone, before == after);
        Files files = snapshot(dir.file("patients"));
        std::erase_if(files, [](const auto& file) { return file.second == "/"; });
        EXPECT_EQ(files, after);
        EXPECT_TRUE(StartRecovery::finishInterrupted({dir.file("patients")}).lines.empty()) << "nothing left to do";
    }
}

// An overwrite replaces the planning file that was loaded, whatever its folder is called, and only
// the files it names: a planning in a folder the user renamed leaves one planning file, and the
// user's files in "dicom", "surface" and "implant" go into the new planning.
TEST(PlanningSaveSafety, AnOverwriteRetiresOnlyThePlanningLoadedAndWhatItNames)
{
    const std::map<std::string, std::string> users = {
        {"surface/user-export.stl", "an export"}, {"dicom/README.txt", "read me"}, {"implant/user-note.txt", "a note"}};
    for (const bool renamed : {false, true}) {
        SCOPED_TRACE(renamed ? "in a folder the user renamed" : "in its own folder");
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients");
        std::string old = makePlanning(patients);
        if (renamed) {
            fs::rename(old + "/" + fs::path(old).filename().string() + ".srl", old + "/A.srl");
            fs::rename(old, patients + "/Renamed");
            old = patients + "/Renamed";
        }
        for (const auto& [file, text] : users)
            writeText(old + "/" + file, text);
        Session s;
        ASSERT_EQ(load(s, old), "");
        PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, true);
        ASSERT_TRUE(writer.start()) << writer.getErrorMessage();
        EXPECT_EQ(writer.getNotes(), std::vector<std::string>{});
        const std::string saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
        EXPECT_EQ(entries(patients), std::set<std::string>{fs::path(saved).filename().string()});
        EXPECT_EQ(entries(saved, true), std::set<std::string>{});
        std::set<std::string> plannings;
        for (const std::string& name : entries(saved))
            if (fs::path(name).extension() == ".srl")
                plannings.insert(name);
        EXPECT_EQ(plannings, std::set<std::string>{fs::path(saved).filename().string() + ".srl"});
        for (const auto& [file, text] : users)
            EXPECT_EQ(readBytes(saved + "/" + file), text) << file;
        EXPECT_EQ(readBytes(saved + "/images/shot.bmp") + readBytes(saved + "/system/session.log"), "the picturethe recording");
        Session next;
        EXPECT_EQ(load(next, saved), "");
    }
}

// No start and no save moves, removes or makes anything through a link: a planning folder that is
// a link to one elsewhere, with an earlier version's put-aside folder beside it, and a planning
// whose "images" is a link to a folder elsewhere holding a temporary-named file, left by a save
// that died and then overwritten.
TEST(PlanningSaveSafety, NothingOutsideThePatientFolderChangesThroughALink)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), outside = work.file("outside"), old = makePlanning(patients);
    fs::create_directories(outside);
    fs::copy(old, outside + "/X", fs::copy_options::recursive);
    fs::rename(outside + "/X/" + fs::path(old).filename().string() + ".srl", outside + "/X/X.srl");
    fs::create_directory_symlink(outside + "/X", patients + "/X");
    writeText(patients + "/.X.previous1/X.srl", "an earlier version's planning");
    writeText(patients + "/.X.previous1/images/old.bmp", "an earlier picture");
    writeText(outside + "/pictures/.a.bmp.morvanta-tmp-Ab12Cd", "someone's");
    fs::remove_all(old + "/images");
    fs::create_directory_symlink(outside + "/pictures", old + "/images");
    writeText(old + "/" + WorkMark::fileName, "");
    const auto before = snapshot(outside);
    StartRecovery::finishInterrupted({patients});
    EXPECT_EQ(snapshot(outside), before);
    Session s;
    ASSERT_EQ(load(s, old), "");
    PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, true);
    ASSERT_TRUE(writer.start()) << writer.getErrorMessage();
    const std::string saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
    // The link itself is the user's entry: it moves along, and what it points to stays as it is.
    EXPECT_EQ(writer.getNotes(), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_symlink(saved + "/images"));
    StartRecovery::finishInterrupted({patients});
    EXPECT_EQ(snapshot(outside), before);
}

// Not as root: a folder of the user's that cannot move (mode 555) stays, with its files, in the
// replaced planning's folder, which is no planning any more but where the user sees it; the save
// says what stayed where, and all else is in the new planning; so does the start that finishes
// such a save cut off once its planning file went, as the save would have. Files of the old
// planning that cannot be removed (its series in a folder of mode 555) keep the record of the
// take-over, which a later start finishes once they can go.
TEST(PlanningSaveSafety, WhatCannotMoveStaysInSightAndTheSaveSaysSo)
{
    const QStringList nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (QProcess::execute(nobody.front(), nobody.mid(1) << "true") != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    const struct
    {
        const char* what;
        bool series, cut;
    } rows[] = {{"a folder of the user's read-only", false, false},
                {"the same, the save killed at the removal after its planning file's", false, true},
                {"the series' folder read-only", true, false}};
    for (const auto& [what, series, cut] : rows) {
        SCOPED_TRACE(what);
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients"), old = makePlanning(patients);
        writeText(old + "/referral/letter.pdf", "a letter");
        ASSERT_EQ(QProcess::execute("chown", {"-R", "65534:65534", QString::fromStdString(patients)}), 0);
        fs::permissions(work.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(old + (series ? "/dicom" : "/referral"), readOnly);
        QProcess child;
        const QStringList killed{"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(old), "-e",
                                 "trace=unlinkat", "-e", "inject=unlinkat:signal=KILL:when=2"};
        startChild(child, "overwrite", old, cut ? nobody + killed : nobody);
        std::vector<std::string> notes, lines;
        const Said saved = said(child, &notes);
        QProcess start;
        if (cut) {
            startChild(start, "start", patients, nobody);
            EXPECT_EQ(said(start, &lines), "started");
            for (const std::string& line : lines)
                if (line.rfind("told: ", 0) == 0)
                    notes.push_back(line.substr(6));
        }
        ASSERT_EQ(listed(patients).size(), 1u) << ::testing::PrintToString(saved);
        const std::string folder = listed(patients).front(), record = folder + "/.morvanta-replaces-" + fs::path(old).filename().string();
        EXPECT_EQ(saved, cut ? "" : "saved " + folder);
        const std::string replaced = "The planning in " + folder + " replaced the planning in " + old;
        EXPECT_EQ(notes, std::vector<std::string>{series ? replaced + ", but taking its files over is not finished: " +
                                                               old + "/dicom/CT0000.dcm could not be removed (Permission "
                                                               "denied). The next start of the program tries again."
                                                         : replaced + ". What could not move into it stays in " + old +
                                                               ", which is no planning any more: referral (" +
                                                               (cut ? "it could not move when the planning was replaced"
                                                                    : "Permission denied") + ")."});
        EXPECT_EQ(listed(patients), std::vector<std::string>{folder});
        EXPECT_EQ(readBytes((series ? folder : old) + "/referral/letter.pdf"), "a letter");
        EXPECT_EQ(readBytes(folder + "/images/shot.bmp") + readBytes(folder + "/system/session.log"), "the picturethe recording");
        EXPECT_EQ(fs::exists(record), series);
        if (series) {
            fs::permissions(old + "/dicom", fs::perms::owner_all, fs::perm_options::add);
            StartRecovery::finishInterrupted({patients});
            EXPECT_FALSE(fs::exists(old));
            EXPECT_FALSE(fs::exists(record));
        } else {
            EXPECT_EQ(entries(old), std::set<std::string>{"referral"});
        }
        EXPECT_EQ(entries(patients, true), std::set<std::string>{});
    }
}

// Another live instance at work in the loaded planning's folder (it holds the folder's mark, as
// while it takes over what its own save replaced): an overwrite waits, publishes nothing while it
// is there, and saves once it is through; nothing is left outside a listed planning.
TEST(PlanningSaveSafety, AnOverwriteWaitsForAnInstanceAtWorkInTheFolderLoaded)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    auto atWork = std::move(WorkMark::take(FolderHandle::open(old, true), true)->mark);
    ASSERT_TRUE(atWork);
    QProcess child;
    startChild(child, "overwrite", old, {}, true);
    {
        Tracer looks(child, "openat", old, false);
        ASSERT_TRUE(looks.saw("openat("));
    }
    EXPECT_EQ(listed(patients), std::vector<std::string>{old});
    atWork.reset();
    EXPECT_EQ(said(child), "saved " + patients + "/2030-01-01__07-00-00-0");
    EXPECT_EQ(listed(patients), std::vector<std::string>{patients + "/2030-01-01__07-00-00-0"});
    EXPECT_EQ(entries(patients, true), std::set<std::string>{});
}

// An ordinary session: a planning whose implant is exchanged, overwritten three times (the save
// keeps the description the exchange replaced, for undo), then once more after the user renamed
// its folder. Every save is silent and leaves one folder, which loads with the exchanged implant.
TEST(PlanningSaveSafety, AnOrdinarySessionOverwritesSilentlyAlsoAfterItsFolderWasRenamed)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients");
    Session s;
    writeText(s.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath = " + patients + "\n");
    ASSERT_EQ(load(s, makePlanning(patients)), "");
    const auto manager = s.model->getImplantManager();
    Vexa::CommandProcessor processor;
    processor.execute(ExchangeImplantCommand::create(
        manager, manager->getImplant(1),
        Implant::createFromFile(Vexa::Matrix44<double>(), 0, implantDatabaseFolder() + "/Quillon Medical/Q-Line/QM-L-D48-L100.implant")));
    for (const std::string round : {"1", "2", "3", "renamed"}) {
        SCOPED_TRACE("overwrite " + round);
        std::string folder = fs::path(s.settings->getPlanningFile()).parent_path().string();
        if (round == "renamed") {
            fs::rename(folder, patients + "/Renamed");
            folder = patients + "/Renamed";
        }
        PlanningWriter writer(PlanningWriter::reserveFile(fs::path(folder).parent_path().string()), s.model, s.settings, true);
        ASSERT_TRUE(writer.start()) << writer.getErrorMessage();
        EXPECT_EQ(writer.getNotes(), std::vector<std::string>{});
        EXPECT_EQ(writer.getReplacement(), "");
        const std::string saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
        EXPECT_EQ(listed(patients), std::vector<std::string>{saved});
        EXPECT_EQ(entries(patients), std::set<std::string>{fs::path(saved).filename().string()});
        EXPECT_EQ(entries(saved, true), std::set<std::string>{});
        EXPECT_EQ(readBytes(saved + "/images/shot.bmp") + readBytes(saved + "/system/session.log"), "the picturethe recording");
        Session next;
        ASSERT_EQ(load(next, saved), "");
        std::vector<std::string> implants;
        for (const auto& implant : next.model->getImplantManager()->getImplants())
            implants.push_back(fs::path(implant->getFilename()).filename().string());
        EXPECT_EQ(implants, (std::vector<std::string>{"QM-L-D48-L100.implant", "QM-L-D48-L100.implant"}));
    }
    // Undo brings the exchanged implant back from the description the saves kept.
    processor.undo();
    EXPECT_TRUE(fs::exists(manager->getImplant(1)->getFilename())) << manager->getImplant(1)->getFilename();
}

// A take-over record acts only where its folder provably holds the planning it replaced. A save
// killed after the old planning file went, the user's clean-up (what is left of the old folder
// removed, the new one renamed to its name), then a start: the record names the folder that
// holds it and is set aside; the planning loads with all its series. A record naming its own
// folder, or a listed sibling (in either format): nothing of either moves or goes.
TEST(PlanningSaveSafety, ARecordActsOnlyWhereItsFolderHoldsThePlanningItReplaced)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    enum Row { cleanedUp, ownFolder, siblingRecorded, siblingFirstFormat };
    for (const Row row : {cleanedUp, ownFolder, siblingRecorded, siblingFirstFormat}) {
        SCOPED_TRACE(row);
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients");
        const std::string m = makePlanning(patients), name = fs::path(m).filename().string();
        std::string holder = m, record;
        if (row == cleanedUp) {
            QProcess child;
            startChild(child, "overwrite", m, {"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(m + "/dicom"),
                                               "-e", "trace=unlinkat", "-e", "inject=unlinkat:signal=KILL:when=1"});
            ASSERT_EQ(said(child), "");
            ASSERT_FALSE(fs::exists(m + "/" + name + ".srl")) << "killed after the old planning file went";
            const std::vector<std::string> plannings = listed(patients);
            ASSERT_EQ(plannings.size(), 1u);
            fs::remove_all(m);
            fs::rename(plannings[0], m);
            record = ".morvanta-replaces-" + name;
        } else {
            const std::string k = makePlanning(patients), sibling = fs::path(k).filename().string();
            TakeOverRecord text = *TakeOverRecord::describe(FolderHandle::open(m), name, name + ".srl",
                                                            PlanningFile::read(m + "/" + name + ".srl").ownFiles(m));
            if (row != ownFolder)
                text.folder = sibling;
            record = text.fileName();
            std::string written = text.text();
            if (row == siblingFirstFormat) {
                written = "morvanta-replaces 1\n" + sibling + "\n" + sibling + ".srl\n";
                for (const auto& [file, stamp] : text.own)
                    written += file + "\n";
            }
            writeText(m + "/" + record, written);
        }
        const std::string aside = ".morvanta-set-aside-" + record.substr(std::string(".morvanta-replaces-").size());
        auto before = snapshot(patients);
        before[name + "/" + aside] = before[name + "/" + record];
        before.erase(name + "/" + record);
        const StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
        const std::string named = patients + "/" + record.substr(19);
        EXPECT_EQ(report.toTell, std::vector<std::string>{"The planning in " + holder + " records that it replaced the "
                                                          "planning in " + named + ", but " + named + " does not hold "
                                                          "that planning now. Nothing was moved or removed for it; the "
                                                          "record is kept as " + holder + "/" + aside + "."});
        // What a killed save left (its mark, its lock of the planning's origin) goes, and nothing else.
        before.erase(name + "/" + WorkMark::fileName);
        before.erase("." + name + ".lock");
        EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
        for (const std::string& planning : listed(patients)) {
            Session any;
            EXPECT_EQ(load(any, planning), "") << planning;
            EXPECT_EQ(any.model->getDicomFiles().size(), 6u);
        }
        EXPECT_TRUE(StartRecovery::finishInterrupted({patients}).toTell.empty()) << "told once";
    }
}

// Not as root: the old planning's folder, or only the folder itself, another account's. The
// overwrite is refused with the reason before anything is published; everything stays byte for
// byte and the one planning stays listed.
TEST(PlanningSaveSafety, AnOverwriteThatCannotRetireThePlanningIsRefusedWithEverythingAsItWas)
{
    const QStringList nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (QProcess::execute(nobody.front(), nobody.mid(1) << "true") != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    for (const bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "the folder with all in it another account's" : "only the folder itself");
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients"), old = makePlanning(patients);
        const std::string name = fs::path(old).filename().string();
        ASSERT_EQ(QProcess::execute("chown", {"-R", "65534:65534", QString::fromStdString(patients)}), 0);
        ASSERT_EQ(QProcess::execute("chown", QStringList(whole ? "-R" : "--") << "0:0" << QString::fromStdString(old)), 0);
        fs::permissions(work.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const auto before = snapshot(patients);
        QProcess child;
        startChild(child, "overwrite", old, nobody);
        EXPECT_EQ(said(child), "refused The planning was not saved.\\nThe planning in " + old +
                                   " cannot be replaced by this user: its planning file " + name +
                                   ".srl cannot be removed (Permission denied).\\nThe planning loaded is unchanged in " +
                                   old + ".");
        EXPECT_EQ(changed(snapshot(patients), before), std::set<std::string>{});
        EXPECT_EQ(listed(patients), std::vector<std::string>{old});
    }
}

// An origin that is no plain folder name (a path, "..", a control character) is refused where a
// planning file holds it, and no lock is named after it: nothing outside the patient folder changes.
TEST(PlanningSaveSafety, AnOriginThatIsNoFolderNameReachesNothingOutsideThePatientFolder)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients/clinic"), old = makePlanning(patients);
    writeText(work.file("victim.lock"), "someone's");
    writeText(work.file("patients/victim.lock"), "someone's");
    Session s;
    ASSERT_EQ(load(s, old), "");
    const std::string file = old + "/" + fs::path(old).filename().string() + ".srl";
    const std::string text = readBytes(file);
    const auto before = snapshot(work.path());
    for (const std::string& origin : std::vector<std::string>{"/../../victim", "../victim", "a/b", "..", ".", "x\ty", std::string(300, 'a')}) {
        SCOPED_TRACE(origin);
        const auto at = text.find("\norigin = "), end = text.find('\n', at + 1);
        writeText(work.file("copy.srl"), text.substr(0, at) + "\norigin = " + origin + text.substr(end));
        EXPECT_NE(TestSupport::errorText([&] { PlanningFile::read(work.file("copy.srl")); }).find("\"origin\""),
                  std::string::npos);
        fs::remove(work.file("copy.srl"));
        EXPECT_THROW(OriginLock(patients, origin), std::runtime_error);
        s.settings->setPlanningOrigin(origin);
        const std::string error = save(s, patients, true);
        EXPECT_NE(error.find("is no folder name"), std::string::npos) << error;
        EXPECT_EQ(changed(snapshot(work.path()), before), std::set<std::string>{});
    }
}

// Another computer's overwrite killed while it held the planning's origin lock, before it could
// publish: this computer's start leaves what is that computer's, and an overwrite here takes the
// lock over once its holder's beat stands still, and saves.
TEST(PlanningSaveSafety, AnotherComputersSaveKilledInItsCommitHoldsNoOverwriteHere)
{
    if (const std::string missing = missingTools(true); !missing.empty())
        GTEST_SKIP() << missing;
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    QProcess elsewhere;
    startChild(elsewhere, "overwrite", old,
               QStringList{"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(patients), "-e",
                           "trace=renameat", "-e", "inject=renameat:signal=KILL:when=1"} + asComputer(true));
    ASSERT_EQ(said(elsewhere), "");
    const std::string lock = patients + "/." + fs::path(old).filename().string() + ".lock";
    ASSERT_NE(readBytes(lock).find("\nelsewhere\n"), std::string::npos) << "the lock names the other computer";
    StartRecovery::finishInterrupted({patients});
    EXPECT_TRUE(fs::exists(lock)) << "another computer's lock is not judged by a start";
    QElapsedTimer clock;
    clock.start();
    QProcess here;
    startChild(here, "overwrite", old);
    EXPECT_EQ(said(here).rfind("saved ", 0), 0u);
    // The lock's holder is judged dead within some seconds of still beat, never after minutes.
    EXPECT_LT(clock.elapsed(), 60000);
    EXPECT_FALSE(fs::exists(lock));
}

// A lock of the planning's origin that another computer's save left (its beat standing still):
// the overwrite says what it waits for while it judges the holder, then takes the lock over and
// saves.
TEST(PlanningSaveSafety, AnOverwriteSaysWhatItWaitsFor)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), old = makePlanning(patients);
    const std::string lock = patients + "/." + fs::path(old).filename().string() + ".lock";
    writeText(lock, "morvanta-origin-lock 1\n4242\nelsewhere\n0123456789abcdef0123456789abcdef\nboot\n77\n3\n");
    Session s;
    ASSERT_EQ(load(s, old), "");
    PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, true);
    std::atomic<bool> done{false};
    std::thread saving([&] {
        writer.start();
        done = true;
    });
    std::set<std::string> said;
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        said.insert(writer.getShortDescription());
    saving.join();
    EXPECT_EQ(writer.getErrorMessage(), "");
    EXPECT_EQ(said, (std::set<std::string>{"Saving planning data",
                                           "Saving planning data: waiting for the save of this planning by the computer "
                                           "elsewhere"}));
    EXPECT_FALSE(fs::exists(lock));
}
