// Saves that fail, die or race: a full disk, a kill at any step, two saves as new at once.
#include "PlanningIoTestSupport.h"
#include "common/SmallDisk.h"

#include "planning/io/DicomImport.h"
#include "planning/io/PlanningFolderUpdate.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "vexa/mesh/MeshFactory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <atomic>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <tuple>
#include <set>

namespace fs = std::filesystem;
using namespace PlanningIoTest;

namespace {

// Saves the planning into a folder reserved below `parent`, as the main window does (for an
// overwrite, the loaded folder's parent); the error text.
std::string save(Session& s, const std::string& parent, bool overwrite)
{
    try {
        PlanningWriter writer(PlanningWriter::reserveFile(parent), s.model, s.settings, overwrite);
        writer.start();
        return writer.getErrorMessage();
    } catch (const std::exception& e) {
        return e.what();
    }
}

// Six images of the sample patient with two implants and a 3D model, saved as new below
// `patients` with a recording and a picture; its folder.
std::string makePlanning(const std::string& patients)
{
    Session s;
    std::vector<std::string> series = filesIn(samplePatientFolder());
    series.resize(std::min<std::size_t>(6, series.size()));
    DicomImport import(series, s.model, s.settings, s.manager);
    EXPECT_TRUE(import.start()) << import.getErrorMessage();
    for (const std::string implant : {"/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant",
                                      "/Quillon Medical/Q-Line/QM-L-D48-L100.implant"})
        s.model->getImplantManager()->addImplant(Implant::createFromFile(
            Vexa::Matrix44<double>(Vexa::Vector3D(30 + 20 * s.model->getImplantManager()->numberOfImplants(), 36, 20)),
            0, implantDatabaseFolder() + implant));
    s.model->set3DModel(Vexa::createBoxMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)), {10, 12, 14}));
    EXPECT_EQ(save(s, patients, false), "");
    const std::string folder = fs::path(s.settings->getPlanningFile()).parent_path().string();
    writeText(folder + "/system/session.log", "the recording");
    writeText(folder + "/images/shot.bmp", "the picture");
    return folder;
}

// The entries of the folder; those anywhere below it that are hidden (leftovers of saving).
std::set<std::string> entries(const std::string& folder, bool hiddenBelow = false)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (hiddenBelow ? entry.path().filename().string().front() == '.' : entry.path().parent_path() == folder)
            names.insert(fs::relative(entry.path(), folder).string());
    return names;
}

std::string load(Session& s, const std::string& folder)
{
    PlanningReader reader(folder + "/" + fs::path(folder).filename().string() + ".srl", s.model, s.settings, s.manager);
    reader.start();
    return reader.getErrorMessage();
}

// This test program once more, running only DISABLED_SaveChild.Run on the planning (`action`
// "overwrite" or "new"); `wrapper` (strace) runs it when given.
void startChild(QProcess& child, const QString& action, const std::string& planning, QStringList wrapper = {})
{
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("MORVANTA_SAVE_CHILD", action);
    env.insert("MORVANTA_SAVE_PLANNING", QString::fromStdString(planning));
    child.setProcessEnvironment(env);
    wrapper << QCoreApplication::applicationFilePath() << "--gtest_also_run_disabled_tests"
            << "--gtest_filter=DISABLED_SaveChild.Run" << "--gtest_brief=1";
    child.start(wrapper.takeFirst(), wrapper);
    ASSERT_TRUE(child.waitForStarted());
}

// What the child said once it ended ("saved <folder>", "refused <text>"); "" when killed.
std::string said(QProcess& child)
{
    child.waitForFinished(-1);
    for (const QString& line : QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n'))
        if (line.startsWith("@@ "))
            return line.mid(3).trimmed().toStdString();
    return {};
}

}

// A program instance of its own: loads the planning MORVANTA_SAVE_PLANNING, drops its first
// implant and saves it (MORVANTA_SAVE_CHILD "overwrite", or "new" with a clock that stands at
// one moment for the first name it draws).
TEST(DISABLED_SaveChild, Run)
{
    const QString action = qEnvironmentVariable("MORVANTA_SAVE_CHILD");
    const std::string planning = qEnvironmentVariable("MORVANTA_SAVE_PLANNING").toStdString();
    Session s;
    ASSERT_EQ(load(s, planning), "");
    s.model->getImplantManager()->removeImplant(s.model->getImplantManager()->getImplant(1));
    static std::atomic<int> draws{0};
    if (action == "new")
        Utilities::setClock([] { return QDateTime(QDate(2030, 1, 1), QTime(8, 0)).addMSecs(draws++); });
    const std::string error = save(s, fs::path(planning).parent_path().string(), action == "overwrite");
    std::cout << "@@ " << (error.empty() ? "saved " + fs::path(s.settings->getPlanningFile()).parent_path().string()
                                         : "refused " + error)
              << std::endl;
}

// An overwrite of a planning with a 4.8 MB 3D model on a disk with little room, or that runs out
// of files at every step up to the 3D model: it says the disk is full and names the file in the
// folder the planning would have had, never a hidden working folder; the old folder stays byte
// for byte.
TEST(PlanningSaveSafety, AFullDiskIsToldWithItsCauseAndTheFileAsTheUserWouldFindIt)
{
    if (!SmallDisk::rerunInside(48ull << 20, {}, "nr_inodes=2000"))
        return;
    const std::string patients = SmallDisk::clear("patients"), old = makePlanning(patients);
    Session s;
    ASSERT_EQ(load(s, old), "");
    s.model->set3DModel(Vexa::createEllipsoidMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)), {60, 50, 40}, 400, 250));
    const auto before = snapshot(patients);
    const QRegularExpression told("^The disk is full: " + QRegularExpression::escape(QString::fromStdString(patients)) +
                                  "/\\d{4}-\\d\\d-\\d\\d__\\d\\d-\\d\\d-\\d\\d-\\d{1,3}(/(.+))? could not be written\\.$");
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
        return match.captured(2).toStdString();
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

// Of the saves of one origin, the last saved is found, also when the milliseconds of their
// time-stamp names have fewer digits.
TEST(PlanningSaveSafety, TheLastSavedFolderOfAnOriginIsFoundByItsSaveTime)
{
    // Folders (name, lastModified) in the order they are made; the last one is the last saved.
    const std::string t = "05/06/2024 10:00:00";
    const std::vector<std::pair<std::string, std::string>> rows[] = {
        {{"2024-05-06__10-00-00-9", t}, {"2024-05-06__10-00-00-10", t}, {"2024-05-06__10-00-00-100", t}},
        {{"2024-05-06__10-00-00-99", t}, {"2024-05-06__10-00-01-5", "05/06/2024 10:00:01"}},
        // The stored time counts first: across a year's end the month comes before the year.
        {{"2024-12-31__23-59-59-999", "12/31/2024 23:59:59"}, {"2025-01-01__00-00-00-1", "01/01/2025 00:00:00"}},
        {{"b", t}, {"a", "05/06/2024 10:00:02"}},
    };
    for (const auto& row : rows) {
        TestSupport::ScratchDir dir;
        for (const auto& [name, time] : row)
            writeText(dir.file("patients/" + name + "/" + name + ".srl"),
                      "[Planningdata]\nlastModified = " + time + "\norigin = first\n");
        EXPECT_EQ(PlanningFolderUpdate::findByOrigin({dir.file("patients")}, "first"), dir.file("patients/" + row.back().first));
    }
}

// The overwrite of a planning killed at each rename and at each removal it makes (strace kills
// it at the n-th call of that kind): the next start lists the planning once, whole, with its
// recording and picture, and nothing else is left.
TEST(PlanningSaveSafety, ASaveKilledAtAnyStepLeavesThePlanningOnceAtTheNextStart)
{
    if (QProcess::execute("strace", {"-V"}) != 0)
        GTEST_SKIP() << "strace is missing (scripts/install-deps)";
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients"), kept = work.file("kept"), origin = makePlanning(patients);
    fs::copy(patients, kept, fs::copy_options::recursive);
    int kills = 0;
    for (const std::string call : {"rename", "renameat2", "unlink", "unlinkat", "rmdir"}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(call + " #" + std::to_string(n));
            fs::remove_all(patients);
            fs::copy(kept, patients, fs::copy_options::recursive);
            QProcess child;
            startChild(child, "overwrite", origin,
                       {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + QString::fromStdString(call), "-e",
                        QString("inject=%1:signal=KILL:when=%2").arg(QString::fromStdString(call)).arg(n)});
            const std::string saved = said(child);
            // The next start.
            PlanningFolderUpdate::finishInterrupted({patients});
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
            if (!saved.empty()) {
                EXPECT_EQ(saved, "saved " + planning);
                EXPECT_EQ(implants, 1u);
                break;
            }
            ++kills;
        }
    }
    EXPECT_GE(kills, 4) << "the overwrite renames at least the old folder in and the new one out";
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

// What saves of earlier program versions, and copies cut short, left behind is finished at the
// next start; what is no leftover of saving stays.
TEST(PlanningSaveSafety, TheNextStartFinishesWhatEarlierVersionsLeft)
{
    using Files = std::map<std::string, std::string>;
    const std::string p = "2024-01-01__10-00-00-5", n = "2024-01-01__10-05-00-7", aside = "." + p + ".previous0";
    // The planning `name` in `folder`, beside the files given.
    const auto planning = [](const std::string& folder, const std::string& name, Files files) {
        files[folder + "/" + name + ".srl"] = "planning " + name;
        files[folder + "/dicom/CT1.dcm"] = "series";
        return files;
    };
    const std::tuple<std::string, Files, Files> rows[] = {
        // The old folder put aside, the new one not yet in place: the old one comes back.
        {"put aside, not replaced",
         planning(aside, p, {{aside + "/images/shot.bmp", "picture"}, {"." + p + ".saving0/" + p + ".srl", "half"}}),
         planning(p, p, {{p + "/images/shot.bmp", "picture"}})},
        // The new one in place: the pictures and recordings of the old one move over.
        {"put aside, replaced",
         planning(p, p, {{aside + "/" + p + ".srl", "old planning"}, {aside + "/system/session.log", "recording"}}),
         planning(p, p, {{p + "/system/session.log", "recording"}})},
        // A copy into the planning cut short; a hidden file of the user's own stays.
        {"temporaries",
         planning(n, n, {{n + "/system/.session.log.Ab12Cd", "half"}, {n + "/images/.shot.bmp.x9Y8z7", "half"},
                         {n + "/.notes", "the user's"}}),
         planning(n, n, {{n + "/.notes", "the user's"}})},
    };
    for (const auto& [state, before, after] : rows) {
        SCOPED_TRACE(state);
        TestSupport::ScratchDir dir;
        for (const auto& [file, text] : before)
            writeText(dir.file("patients/" + file), text);
        EXPECT_FALSE(PlanningFolderUpdate::finishInterrupted({dir.file("patients")}).empty());
        Files files = snapshot(dir.file("patients"));
        std::erase_if(files, [](const auto& file) { return file.second == "/"; });
        EXPECT_EQ(files, after);
        EXPECT_TRUE(PlanningFolderUpdate::finishInterrupted({dir.file("patients")}).empty()) << "nothing left to do";
    }
}
