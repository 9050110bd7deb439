// Saves that fail, die or race: a full disk is told with its cause and the file as the user will
// find it; a save killed at any rename or removal is finished or undone at the next start; two
// instances saving as new at once keep both plannings.
#include "PlanningIoTestSupport.h"
#include "common/SmallDisk.h"

#include "planning/io/DicomImport.h"
#include "planning/io/PlanningFile.h"
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
#include <atomic>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace PlanningIoTest;

namespace {

const std::string implants[] = {"/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant",
                                "/Quillon Medical/Q-Line/QM-L-D48-L100.implant"};

// A program instance whose settings name `patients` as the patient folder.
struct Instance : Session
{
    explicit Instance(const std::string& patients)
    {
        writeText(dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath=" + patients + "\n");
    }
};

// The first `files` images of the sample patient with two implants and a 3D model (of some
// 4.8 MB when `bigSurface`), saved as new below `patients` with a recording and a picture.
std::string makePlanning(Instance& s, const std::string& patients, std::size_t files, bool bigSurface)
{
    std::vector<std::string> series = filesIn(samplePatientFolder());
    series.resize(std::min(files, series.size()));
    DicomImport import(series, s.model, s.settings, s.manager);
    EXPECT_TRUE(import.start()) << import.getErrorMessage();
    for (int i = 0; i < 2; ++i)
        s.model->getImplantManager()->addImplant(Implant::createFromFile(
            Vexa::Matrix44<double>(Vexa::Vector3D(30 + 20 * i, 36, 20)), 0, implantDatabaseFolder() + implants[i]));
    const Vexa::Matrix44<double> centre(Vexa::Vector3D(40, 40, 20));
    s.model->set3DModel(bigSurface ? Vexa::createEllipsoidMesh(centre, Vexa::Vector3D(60, 50, 40), 400, 250)
                                   : Vexa::createBoxMesh(centre, Vexa::Vector3D(10, 12, 14)));
    PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, false);
    EXPECT_TRUE(writer.start()) << writer.getErrorMessage();
    const std::string folder = fs::path(s.settings->getPlanningFile()).parent_path().string();
    writeText(folder + "/system/session.log", "the recording");
    writeText(folder + "/images/shot.bmp", "the picture");
    return folder;
}

// Overwrites the loaded planning as the main window does; the writer's error text.
std::string overwrite(Session& s, std::string* saved = nullptr)
{
    const fs::path loaded(s.settings->getPlanningFile());
    std::string file;
    try {
        file = PlanningWriter::reserveFile(loaded.parent_path().parent_path().string());
    } catch (const std::exception& e) {
        return e.what();
    }
    PlanningWriter writer(file, s.model, s.settings, true);
    writer.start();
    if (saved)
        *saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
    return writer.getErrorMessage();
}

// The planning folders "Load planning" lists below the folder (hidden folders are passed over).
std::vector<std::string> listed(const std::string& patients)
{
    std::vector<std::string> folders;
    for (auto it = fs::recursive_directory_iterator(patients); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename().string().front() == '.')
            it.disable_recursion_pending();
        else if (it->path().extension() == ".srl")
            folders.push_back(it->path().parent_path().string());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

// Hidden entries anywhere below the folder: leftovers of saving.
std::vector<std::string> hiddenBelow(const std::string& folder)
{
    std::vector<std::string> hidden;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().filename().string().front() == '.')
            hidden.push_back(fs::relative(entry.path(), folder).string());
    return hidden;
}

std::string load(Session& s, const std::string& folder)
{
    const std::string name = fs::path(folder).filename().string();
    PlanningReader reader(folder + "/" + name + ".srl", s.model, s.settings, s.manager);
    reader.start();
    return reader.getErrorMessage();
}

// This test program once more, running only DISABLED_SaveChild.Run with the settings given
// as environment; `wrapper` (strace) runs it when given.
void startChild(QProcess& child, const QStringList& environment, const QStringList& wrapper = {})
{
    auto env = QProcessEnvironment::systemEnvironment();
    for (const QString& line : environment)
        env.insert(line.section('=', 0, 0), line.section('=', 1));
    child.setProcessEnvironment(env);
    QStringList arguments = wrapper;
    arguments << QCoreApplication::applicationFilePath() << "--gtest_also_run_disabled_tests"
              << "--gtest_filter=DISABLED_SaveChild.Run" << "--gtest_brief=1";
    child.start(arguments.takeFirst(), arguments);
    ASSERT_TRUE(child.waitForStarted());
}

// The child's report lines ("@@ ..."), read until one begins with `until` or the child ends.
std::string awaitLine(QProcess& child, const std::string& until)
{
    for (;;) {
        while (child.canReadLine()) {
            const std::string line = QString::fromLocal8Bit(child.readLine()).trimmed().toStdString();
            if (line.rfind("@@ " + until, 0) == 0)
                return line.substr(3);
        }
        if (child.state() == QProcess::NotRunning || !child.waitForReadyRead(120000))
            return child.canReadLine() ? awaitLine(child, until) : std::string();
    }
}

}

// A program instance of its own: loads the planning of MORVANTA_SAVE_PLANNING (patient folder
// MORVANTA_SAVE_PATIENTS), drops the implant MORVANTA_SAVE_DROP and saves it
// (MORVANTA_SAVE_CHILD "overwrite", or "new" with the clock at one moment for the first name it
// draws). Says "@@ saved <folder>" or "@@ refused <text>".
TEST(DISABLED_SaveChild, Run)
{
    const QString action = qEnvironmentVariable("MORVANTA_SAVE_CHILD");
    ASSERT_TRUE(action == "overwrite" || action == "new");
    const std::string patients = qEnvironmentVariable("MORVANTA_SAVE_PATIENTS").toStdString();
    Instance s(patients);
    ASSERT_EQ(load(s, qEnvironmentVariable("MORVANTA_SAVE_PLANNING").toStdString()), "");
    bool drop = false;
    const int dropped = qEnvironmentVariableIntValue("MORVANTA_SAVE_DROP", &drop);
    if (drop)
        s.model->getImplantManager()->removeImplant(s.model->getImplantManager()->getImplant(unsigned(dropped) + 1));
    std::string error, saved;
    if (action == "overwrite") {
        error = overwrite(s, &saved);
    } else {
        static std::atomic<int> draws{0};
        Utilities::setClock([] { return QDateTime(QDate(2030, 1, 1), QTime(8, 0)).addMSecs(draws++); });
        PlanningWriter writer(PlanningWriter::reserveFile(patients), s.model, s.settings, false);
        writer.start();
        error = writer.getErrorMessage();
        saved = fs::path(s.settings->getPlanningFile()).parent_path().string();
    }
    std::cout << (error.empty() ? "@@ saved " + saved : "@@ refused " + error) << std::endl;
}

// An overwrite of a planning with a 4.8 MB 3D model on a disk with little room, or with no
// file left to make: it says the disk is full and names the file in the folder the planning
// would have had, never a hidden working folder; the old folder stays byte for byte.
TEST(PlanningSaveSafety, AFullDiskIsToldWithItsCauseAndTheFileAsTheUserWouldFindIt)
{
    if (!SmallDisk::rerunInside(48ull << 20, {}, "nr_inodes=2000"))
        return;
    const std::string patients = SmallDisk::clear("patients");
    Instance s(patients);
    const std::string old = makePlanning(s, patients, 8, true);
    ASSERT_GE(fs::file_size(old + "/surface/model.sff"), 4u << 20);
    const auto before = snapshot(patients);
    std::ostringstream table;
    const auto check = [&](const std::string& row) -> std::string {
        std::string saved;
        const std::string error = overwrite(s, &saved);
        table << "| " << row << " | " << (error.empty() ? "saved" : "\"Saving error: " + error + "\"") << " |\n";
        EXPECT_EQ(snapshot(patients), before) << row;
        EXPECT_EQ(hiddenBelow(patients), std::vector<std::string>{}) << row;
        EXPECT_EQ(s.settings->getPlanningFile(), old + "/" + fs::path(old).filename().string() + ".srl");
        return error;
    };
    for (const unsigned long long free : {512ull << 10, 2ull << 20}) {
        fs::remove(SmallDisk::path() + "/filler");
        SmallDisk::leaveFree(free);
        const std::string error = check(std::to_string(free >> 10) + " KiB free");
        // The name the overwrite drew: the only folder that the message may name.
        const std::string shown = "The disk is full: ";
        const std::string folder = error.substr(shown.size(), error.find("/surface/") - shown.size());
        EXPECT_EQ(fs::path(folder).parent_path(), fs::path(patients));
        EXPECT_EQ(error, shown + folder + "/surface/model.sff could not be written.");
    }
    fs::remove(SmallDisk::path() + "/filler");
    // The files run out at every step up to the 3D model, which gets the last one.
    std::set<std::string> stages;
    for (unsigned long long files = 0; stages.count("surface/model.sff") == 0 && files < 30; ++files) {
        SmallDisk::leaveInodes(files);
        const std::string error = check(std::to_string(files) + " files left");
        const std::string prefix = "The disk is full: " + patients + "/";
        ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
        const auto slash = error.find('/', prefix.size());
        const std::string file = slash == std::string::npos ? "" : error.substr(slash + 1);
        stages.insert(file.substr(0, file.find(" could not be written.")));
        fs::remove_all(SmallDisk::path() + "/inodes");
    }
    EXPECT_EQ(stages.count("surface/model.sff"), 1u) << "the files ran out before the 3D model";
    std::cout << table.str();
}

// Of the saves of one origin, the last saved is found, also when the milliseconds of their
// time-stamp names have fewer digits.
TEST(PlanningSaveSafety, TheLastSavedFolderOfAnOriginIsFoundByItsSaveTime)
{
    const struct
    {
        std::vector<std::pair<std::string, std::string>> folders; // name, lastModified
        std::string last;
    } rows[] = {
        {{{"2024-05-06__10-00-00-9", "05/06/2024 10:00:00"}, {"2024-05-06__10-00-00-10", "05/06/2024 10:00:00"},
          {"2024-05-06__10-00-00-100", "05/06/2024 10:00:00"}},
         "2024-05-06__10-00-00-100"},
        {{{"2024-05-06__10-00-00-99", "05/06/2024 10:00:00"}, {"2024-05-06__10-00-01-5", "05/06/2024 10:00:01"}},
         "2024-05-06__10-00-01-5"},
        // The stored time counts first: across a year's end the month comes before the year.
        {{{"2024-12-31__23-59-59-999", "12/31/2024 23:59:59"}, {"2025-01-01__00-00-00-1", "01/01/2025 00:00:00"}},
         "2025-01-01__00-00-00-1"},
        {{{"b", "05/06/2024 10:00:00"}, {"a", "05/06/2024 10:00:02"}}, "a"},
    };
    for (const auto& row : rows) {
        TestSupport::ScratchDir dir;
        for (const auto& [name, time] : row.folders)
            writeText(dir.file("patients/" + name + "/" + name + ".srl"),
                      "[Planningdata]\nlastModified = " + time + "\norigin = first\n");
        EXPECT_EQ(PlanningFolderUpdate::findByOrigin({dir.file("patients")}, "first"),
                  dir.file("patients/" + row.last));
    }
}

// The overwrite of a planning killed at each rename and at each removal it makes (strace kills
// it at the n-th call of that kind): the next start lists the planning once, whole, with its
// recording and picture, and nothing else is left.
TEST(PlanningSaveSafety, ASaveKilledAtAnyStepLeavesThePlanningOnceAtTheNextStart)
{
    QProcess probe;
    probe.start("strace", {"-V"});
    if (!probe.waitForFinished() || probe.exitCode() != 0)
        GTEST_SKIP() << "strace is missing (scripts/install-deps)";
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients");
    std::string origin;
    {
        Instance s(patients);
        origin = makePlanning(s, patients, 6, false);
    }
    const std::string kept = work.file("kept");
    fs::copy(patients, kept, fs::copy_options::recursive);
    std::ostringstream table;
    table << "| killed at | next start lists | planning | left on disk |\n";
    int kills = 0;
    for (const std::string call : {"rename", "renameat2", "unlink", "unlinkat", "rmdir"}) {
        for (int n = 1;; ++n) {
            fs::remove_all(patients);
            fs::copy(kept, patients, fs::copy_options::recursive);
            QProcess child;
            startChild(child,
                       {"MORVANTA_SAVE_CHILD=overwrite", "MORVANTA_SAVE_PATIENTS=" + QString::fromStdString(patients),
                        "MORVANTA_SAVE_PLANNING=" + QString::fromStdString(origin), "MORVANTA_SAVE_DROP=0"},
                       {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + QString::fromStdString(call), "-e",
                        QString("inject=%1:signal=KILL:when=%2").arg(QString::fromStdString(call)).arg(n)});
            const std::string said = awaitLine(child, "saved");
            child.waitForFinished(-1);
            const bool killed = said.empty();
            // The next start.
            const std::vector<std::string> done = PlanningFolderUpdate::finishInterrupted({patients});
            const std::vector<std::string> plannings = listed(patients);
            const std::string step = call + " #" + std::to_string(n);
            SCOPED_TRACE(step);
            ASSERT_EQ(plannings.size(), 1u);
            Instance next(patients);
            EXPECT_EQ(load(next, plannings[0]), "");
            const std::size_t implantCount = next.model->getImplantManager()->numberOfImplants();
            EXPECT_TRUE(implantCount == 2 || implantCount == 1);
            EXPECT_EQ(readBytes(plannings[0] + "/system/session.log"), "the recording");
            EXPECT_EQ(readBytes(plannings[0] + "/images/shot.bmp"), "the picture");
            EXPECT_EQ(hiddenBelow(patients), std::vector<std::string>{});
            EXPECT_EQ(fs::path(plannings[0]).parent_path(), fs::path(patients));
            std::vector<std::string> folders;
            for (const auto& entry : fs::directory_iterator(patients))
                folders.push_back(entry.path().filename().string());
            EXPECT_EQ(folders.size(), 1u);
            if (!killed) {
                EXPECT_EQ(implantCount, 1u);
                break;
            }
            ++kills;
            std::string finished;
            for (std::string line : done) {
                for (auto at = line.find(patients + "/"); at != std::string::npos; at = line.find(patients + "/"))
                    line.erase(at, patients.size() + 1);
                finished += (finished.empty() ? "" : "; ") + line;
            }
            table << "| " << step << " | 1 planning, loads, system/ and images/ | "
                  << (implantCount == 1 ? "the new one" : "the old one") << " | "
                  << (finished.empty() ? "nothing to finish" : finished) << "; no hidden entry |\n";
        }
    }
    EXPECT_GE(kills, 4) << "the overwrite renames at least the old folder in and the new one out";
    std::cout << table.str();
}

// Two instances save as new at once and draw the same time-stamp name first: the name taken by
// the other is no failure, the next one is drawn, and two plannings stand beside the one both
// loaded. (Overwrites at once are the program tests' part: they are pressed there.)
TEST(PlanningSaveSafety, TwoSavesAsNewInOneMillisecondGiveTwoPlannings)
{
    TestSupport::ScratchDir work;
    const std::string patients = work.file("patients");
    std::string origin;
    {
        Instance s(patients);
        origin = makePlanning(s, patients, 6, false);
    }
    QProcess children[2];
    for (QProcess& child : children)
        startChild(child, {"MORVANTA_SAVE_CHILD=new", "MORVANTA_SAVE_PATIENTS=" + QString::fromStdString(patients),
                           "MORVANTA_SAVE_PLANNING=" + QString::fromStdString(origin)});
    std::set<std::string> saved;
    for (QProcess& child : children) {
        const std::string said = awaitLine(child, "");
        child.waitForFinished(-1);
        EXPECT_EQ(said.rfind("saved ", 0), 0u) << said;
        saved.insert(said);
    }
    EXPECT_EQ(saved, (std::set<std::string>{"saved " + patients + "/2030-01-01__08-00-00-0",
                                            "saved " + patients + "/2030-01-01__08-00-00-1"}));
    EXPECT_EQ(listed(patients).size(), 3u);
    EXPECT_EQ(hiddenBelow(patients), std::vector<std::string>{});
}

// What saves of earlier program versions, and copies cut short, left behind is finished at the
// next start; what is no leftover of saving stays.
TEST(PlanningSaveSafety, TheNextStartFinishesWhatEarlierVersionsLeft)
{
    const std::string p = "2024-01-01__10-00-00-5", n = "2024-01-01__10-05-00-7";
    const auto planning = [](const std::string& name) {
        return std::map<std::string, std::string>{{name + "/" + name + ".srl", "planning " + name},
                                                  {name + "/dicom/CT1.dcm", "series"}};
    };
    const struct
    {
        std::string state;
        std::map<std::string, std::string> before, after;
    } rows[] = {
        // The old folder put aside, the new one not yet in place: the old one comes back.
        {"put aside, not replaced",
         [&] {
             std::map<std::string, std::string> files;
             for (const auto& [file, text] : planning(p))
                 files["." + p + ".previous0" + file.substr(p.size())] = text;
             files["." + p + ".previous0/images/shot.bmp"] = "picture";
             files["." + p + ".saving0/" + p + ".srl"] = "half";
             return files;
         }(),
         [&] {
             auto files = planning(p);
             files[p + "/images/shot.bmp"] = "picture";
             return files;
         }()},
        // The new one in place: the pictures and recordings of the old one move over.
        {"put aside, replaced",
         [&] {
             auto files = planning(p);
             files["." + p + ".previous0/" + p + ".srl"] = "old planning";
             files["." + p + ".previous0/system/session.log"] = "recording";
             return files;
         }(),
         [&] {
             auto files = planning(p);
             files[p + "/system/session.log"] = "recording";
             return files;
         }()},
        // A copy into the planning cut short; a hidden file of the user's own stays.
        {"temporaries",
         [&] {
             auto files = planning(n);
             files[n + "/system/.session.log.Ab12Cd"] = "half a recording";
             files[n + "/images/.shot.bmp.x9Y8z7"] = "half a picture";
             files[n + "/.notes"] = "the user's";
             return files;
         }(),
         [&] {
             auto files = planning(n);
             files[n + "/.notes"] = "the user's";
             return files;
         }()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        TestSupport::ScratchDir dir;
        for (const auto& [file, text] : row.before)
            writeText(dir.file("patients/" + file), text);
        EXPECT_FALSE(PlanningFolderUpdate::finishInterrupted({dir.file("patients")}).empty());
        std::map<std::string, std::string> files;
        for (const auto& [name, content] : snapshot(dir.file("patients")))
            if (content != "/")
                files[name] = content;
        EXPECT_EQ(files, row.after);
        EXPECT_TRUE(PlanningFolderUpdate::finishInterrupted({dir.file("patients")}).empty()) << "nothing left to do";
    }
}
