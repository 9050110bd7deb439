// navigation_headless on a replayed procedure: its printed ticks, a bad trajectory file, a
// journal that survives SIGKILL, the exit status of runs that fail, a still scene, where the
// treatment log ends when its planning is overwritten or removed meanwhile, and where it is kept
// when the planning is another user's.
#include "NavigationScene.h"
#include "PtySimulator.h"
#include "common/OnDisk.h"
#include "common/TestSupport.h"
#include "planning/PlanningSaveTestSupport.h"

#include "navigation/NavigationCamera.h"
#include "navigation/Trajectory.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iomanip>
#include <sstream>
#include <sys/stat.h>

TEST(Trajectory, BadLinesNameFileAndLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0 0 1 1 0 0 0 1 2 3\n", "t.txt:1: expected 11 fields"},
        {"# c\n\n0 0 2 1 0 0 0 1 2 3 0\n", "t.txt:3: bad visible flag"},
        {"0 0 1 1 0 0 0 1,5 2 3 0\n", "t.txt:1: bad number '1,5'"},
        {"0 99 1 1 0 0 0 1 2 3 0\n", "t.txt:1: bad tool"},
        {"50 0 1 1 0 0 0 1 2 3 0\n40 0 1 1 0 0 0 1 2 3 0\n", "t.txt:2: time goes back"},
    };
    for (const auto& [text, message] : cases) {
        std::istringstream in(text);
        const std::string error = TestSupport::errorText([&] { Vexa::Trajectory::read(in, "t.txt"); });
        EXPECT_NE(std::string::npos, error.find(message)) << text << ": " << error;
    }
}

TEST(Trajectory, TheCameraFactoryReplaysTheFileNamedByMorvantaReplay)
{
    QTemporaryDir home;
    const std::string file = home.filePath("t.txt").toStdString();
    std::ofstream(file) << "# one sample\n0 1 1 1 0 0 0 1 2 3 0.1\n";
    setenv("MORVANTA_REPLAY", file.c_str(), 1);
    const auto camera = Vexa::NavigationCamera::getConnectedCamera(home.filePath("no-port").toStdString());
    ASSERT_TRUE(camera);
    EXPECT_EQ("Replay", camera->getName());
    std::ofstream(file) << "0 1 1\n";
    EXPECT_FALSE(Vexa::NavigationCamera::getConnectedCamera(home.filePath("no-port").toStdString()));
    unsetenv("MORVANTA_REPLAY");
}

// The tables where the file system matters to the treatment log (its journal made, moved into the
// planning, stored, removed; a kill and the next start): on a local disk and on a file server.
class NavigationHeadlessOn : public testing::TestWithParam<bool>
{
};
INSTANTIATE_TEST_SUITE_P(Disks, NavigationHeadlessOn, testing::Bool(), TestSupport::diskOf<testing::TestParamInfo<bool>>);

TEST_P(NavigationHeadlessOn, ReplaysAProcedureAndItsJournalSurvivesAKill)
{
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Plan"));
    const QString trajectory = home.filePath("procedure.txt");
    std::ofstream(trajectory.toStdString()) << [] {
        std::ostringstream out;
        NavigationScene::writeProcedure(out);
        return out.str();
    }();
    const QString program = MORVANTA_BINARY_DIR "/tools/navigation_headless";
    QProcess process;
    process.setProcessEnvironment(TestSupport::onDisk(GetParam(), home.path()));
    process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--jaw", "2", "--data-dir", home.path(),
                            "--planning-file", home.filePath("Plan/P.srl"), "--ticks", "100000000", "--print"});
    ASSERT_TRUE(process.waitForStarted());
    // Kill it once the drill was registered (the controller left state 2). However long a loaded
    // machine keeps it silent (its start alone may take many seconds), the wait ends only with
    // that, with the run's end or with a bound far beyond any such stall.
    std::vector<std::string> lines;
    bool registered = false;
    const QDeadlineTimer deadline(300000);
    while (!registered && (process.canReadLine() || process.waitForReadyRead(deadline.remainingTime()))) {
        while (process.canReadLine()) {
            lines.push_back(process.readLine().trimmed().toStdString());
            if (lines.size() > 2 && lines.back().find(" 2 ") == std::string::npos
                && lines[lines.size() - 2].find(" 1 2 ") != std::string::npos)
                registered = true;
        }
    }
    // The journal's writer takes the tick's lines a moment later: the kill comes once the
    // registration's line is in the journal, wherever it stands then.
    const auto journaled = [&] {
        for (const QString& folder : {home.filePath("Plan/Log"), home.filePath("Log")})
            for (const QString& name : QDir(folder).entryList({"*.journal", ".*.morvanta-tmp-*"}, QDir::Files | QDir::Hidden))
                if (TestSupport::readFile((folder + "/" + name).toStdString()).find("ACTION: REGISTERED") != std::string::npos)
                    return true;
        return false;
    };
    while (registered && !journaled() && process.state() == QProcess::Running && !deadline.hasExpired())
        process.waitForReadyRead(10);
    process.kill();
    process.waitForFinished();
    ASSERT_TRUE(registered) << lines.size() << " lines\n" << process.readAllStandardError().toStdString();
    EXPECT_EQ("camera Replay", lines[0]);
    // "tick cameraState controllerState v0 x0 y0 z0 v1 x1 y1 z1": the locator where it was put.
    std::istringstream first(lines[1]);
    int tick = 0, camera = 0, state = 0, v0 = 0, v1 = 0;
    double x0, y0, z0, x1, y1, z1;
    first >> tick >> camera >> state >> v0 >> x0 >> y0 >> z0 >> v1 >> x1 >> y1 >> z1;
    EXPECT_EQ(1, tick);
    EXPECT_EQ(1, camera);
    EXPECT_EQ(1, v1);
    EXPECT_NEAR(NavigationScene::locatorPose()[14], z1, 0.1);

    // In the planning's Log folder, or beside the program where the kill came before the journal
    // was moved there (with both where it came in the middle of the move: the longer holds all).
    // Where nothing is made without a name, a journal keeps the hidden one it was made under.
    std::string journal;
    nlink_t names = 0;
    for (const QString& folder : {home.filePath("Plan/Log"), home.filePath("Log")})
        for (const QString& name : QDir(folder).entryList({"*.journal"})) {
            // Its lines: a last one that names where they moved on is none.
            std::string text = TestSupport::readFile((folder + "/" + name).toStdString());
            if (const std::size_t moved = text.rfind("\nMOVED "); moved != std::string::npos)
                text.resize(moved + 1);
            if (text.size() > journal.size())
                journal = text;
            struct stat status{};
            if (::stat((folder + "/" + name).toUtf8().constData(), &status) == 0)
                names = std::max(names, status.st_nlink);
        }
    EXPECT_EQ(GetParam() ? 2u : 1u, names) << "the rules of the file system";
    ASSERT_FALSE(journal.empty());
    for (const char* entry : {"ACTION: START TREATMENT\n", "ACTION: NO CALIBRATION VALUES UK FOUND\n",
                              "ACTION: CALIBRATION UK STARTED\n", "ACTION: CALIBRATION UK BC: u=",
                              "ACTION: REGISTERED 27.6"})
        EXPECT_NE(std::string::npos, journal.find(entry)) << entry << "\n" << journal;
    EXPECT_TRUE(QDir(home.filePath("Plan/Log")).entryList({"*.log"}).isEmpty());
    // The next start makes it into its log, and leaves neither name.
    const auto left = [&](const QStringList& patterns) {
        QStringList found;
        for (const QString& folder : {home.filePath("Plan/Log"), home.filePath("Log")})
            for (const QString& name : QDir(folder).entryList(patterns, QDir::Files | QDir::Hidden))
                found << folder + "/" + name;
        return found;
    };
    process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--data-dir", home.path(), "--planning-file",
                            home.filePath("Plan/P.srl"), "--ticks", "50"});
    ASSERT_TRUE(process.waitForFinished(300000));
    const QString said = process.readAllStandardError();
    EXPECT_EQ(0, process.exitCode()) << said.toStdString();
    EXPECT_EQ(1, said.split('\n').filter(QRegularExpression("^navigation_headless: .* was made from its journal ")).size())
        << said.toStdString();
    // A kill in the middle of the move, where nothing is made without a name, may leave the new
    // journal's file empty under its temporary name: such a file may be a live maker's, not yet
    // locked, and a start leaves it until it is two minutes old. Anything else is left over.
    QStringList leftOver = left({"*.journal", ".*.morvanta-tmp-*"});
    leftOver.removeIf([&](const QString& file) {
        return GetParam() && QFileInfo(file).fileName().startsWith('.') && QFileInfo(file).size() == 0;
    });
    EXPECT_EQ("", leftOver.join(' ').toStdString()) << said.toStdString();
    const QStringList logs = left({"*.log"});
    EXPECT_EQ(1, std::count_if(logs.begin(), logs.end(), [&](const QString& log) {
                  return TestSupport::readFile(log.toStdString()).starts_with(journal);
              })) << logs.join(' ').toStdString() << "\n" << said.toStdString();

    // A bad trajectory: the file and the line are named, nothing runs.
    std::ofstream(trajectory.toStdString()) << "0 0 1 1 0 0 0\n";
    process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--data-dir", home.path()});
    ASSERT_TRUE(process.waitForFinished(300000));
    EXPECT_EQ(1, process.exitCode());
    EXPECT_TRUE(process.readAllStandardError().contains((trajectory + ":1:").toUtf8()));
}

// The exit status tells what went wrong: a camera that falls silent or goes away mid-run, a
// file of the treatment that cannot be written, a planning folder that is no folder or missing
// (refused, and not made); a killed run's journal made into its log is said, and no failure. A Polaris without jitter repeats the still patient locator's values
// on every tick; the camera adjustment still ends.
TEST_P(NavigationHeadlessOn, TheExitStatusTellsWhatFailed)
{
    QTemporaryDir home;
    const QString moving = home.filePath("moving.txt"), procedure = home.filePath("procedure.txt");
    {
        std::ofstream out(moving.toStdString());
        out.precision(10);
        for (int step = 0; step < 400; ++step) {
            const Vexa::Matrix44<double> handpiece(Vexa::Vector3D(0.2 * step, 0, 0));
            NavigationScene::writeLine(out, step * 50, 0, handpiece * NavigationScene::handpieceAway(), true);
            NavigationScene::writeLine(out, step * 50, 1, NavigationScene::locatorPose(), true);
        }
        std::ofstream calibrating(procedure.toStdString());
        NavigationScene::writeProcedure(calibrating);
    }
    const struct
    {
        const char* name;
        QStringList polaris; // the simulator's options; none: the replay, --fast
        const QString& trajectory;
        const char* planning;
        const char* blocker; // made before the run: a plain file, or a folder when it ends in '/'
        int killAtTick;
        int status;
        const char* reason;
    } runs[] = {
        {"still locator", {"--no-jitter"}, moving, "Plan/P.srl", nullptr, 0, 0, ""},
        {"silent camera", {"--no-jitter", "--silence-after", "300"}, moving, "Plan/P.srl", nullptr, 0, 3,
         "the camera stopped answering: no data on "},
        {"killed camera", {"--no-jitter"}, moving, "Plan/P.srl", nullptr, 10, 3, "the camera stopped answering"},
        {"replay past its end", {}, moving, "Plan/P.srl", nullptr, 0, 0, ""},
        {"log folder is a file", {}, moving, "Plan/P.srl", "Plan/Log", 0, 4, "Plan/Log is not a folder"},
        {"a killed run's journal made into its log", {}, moving, "Plan/P.srl", "Plan/Log/old.journal", 0, 0,
         "was made from its journal "},
        {"calibration file is a folder", {}, procedure, "Plan/P.srl", "HandpieceLocTDrillOriginMandible.txt/", 0, 4,
         "The handpiece calibration could not be saved"},
        {"planning below a file", {}, moving, "plain/P.srl", "plain", 0, 2, "plain, is not a folder"},
        {"planning folder missing", {}, moving, "Nope/P.srl", nullptr, 0, 2, "Nope, does not exist"},
    };
    for (const auto& run : runs) {
        QTemporaryDir data;
        QDir(data.path()).mkdir("Plan");
        if (run.blocker && QString(run.blocker).endsWith('/'))
            QDir(data.path()).mkdir(run.blocker);
        else if (run.blocker && QDir(data.path()).mkpath(QFileInfo(run.blocker).path()))
            std::ofstream(data.filePath(run.blocker).toStdString()) << "in the way\n";
        std::unique_ptr<PtySimulator> polaris;
        QStringList camera{"--camera", "replay:" + run.trajectory, "--fast", "--ticks", "500"};
        if (!run.polaris.isEmpty()) {
            polaris = std::make_unique<PtySimulator>(MORVANTA_SOURCE_DIR "/tests/navigation/sim/polaris_sim.py",
                                                     run.polaris + QStringList{"--trajectory", run.trajectory});
            camera = {"--camera", "port:" + QString::fromStdString(polaris->device), "--ticks", "60"};
        }
        QProcess process;
        process.setProcessEnvironment(TestSupport::onDisk(GetParam(), data.path()));
        process.start(MORVANTA_BINARY_DIR "/tools/navigation_headless",
                      camera + QStringList{"--data-dir", data.path(), "--planning-file", data.filePath(run.planning), "--print"});
        ASSERT_TRUE(process.waitForStarted()) << run.name;
        bool adjusted = false;
        while (process.canReadLine() || process.waitForReadyRead(60000)) {
            while (process.canReadLine()) {
                const QList<QByteArray> fields = process.readLine().simplified().split(' ');
                adjusted |= fields.size() == 11 && fields[2] == "0";
                if (run.killAtTick && fields[0].toInt() == run.killAtTick)
                    ::kill(polaris->pid, SIGKILL);
            }
        }
        process.waitForFinished(60000);
        ASSERT_EQ(QProcess::NotRunning, process.state()) << run.name;
        const std::string errors = process.readAllStandardError().toStdString();
        EXPECT_EQ(run.status, process.exitCode()) << run.name << "\n" << errors;
        EXPECT_NE(std::string::npos, errors.find(run.reason)) << run.name << "\n" << errors;
        if (run.status == 0) {
            EXPECT_TRUE(adjusted) << run.name << ": the camera adjustment did not end";
        }
        EXPECT_FALSE(QFileInfo::exists(data.filePath("Nope"))) << run.name;
    }
}

// A still scene, replayed or sent by a Polaris without jitter: the camera adjustment ends after
// its hold (41 ticks after the locator was first seen, on the simulated clock) and the drill held
// still on point A registers.
TEST(NavigationHeadless, ARestingSceneAdjustsAndRegisters)
{
    QTemporaryDir home;
    const QString trajectory = home.filePath("still.txt");
    NavigationScene::writeStillScene(trajectory.toStdString());
    for (const bool polaris : {false, true}) {
        SCOPED_TRACE(polaris ? "from a Polaris" : "replayed");
        QTemporaryDir data;
        QDir(data.path()).mkdir("Plan");
        std::ofstream(data.filePath("HandpieceLocTDrillOriginMandible.txt").toStdString())
            << std::setprecision(17) << NavigationScene::trueCalibration();
        std::unique_ptr<PtySimulator> simulator;
        QStringList camera{"--camera", "replay:" + trajectory, "--fast"};
        if (polaris) {
            simulator = std::make_unique<PtySimulator>(MORVANTA_SOURCE_DIR "/tests/navigation/sim/polaris_sim.py",
                                                       QStringList{"--no-jitter", "--trajectory", trajectory});
            camera = {"--camera", "port:" + QString::fromStdString(simulator->device)};
        }
        QProcess process;
        process.start(MORVANTA_BINARY_DIR "/tools/navigation_headless",
                      camera + QStringList{"--ticks", "180", "--data-dir", data.path(), "--planning-file",
                                           data.filePath("Plan/P.srl"), "--print"});
        ASSERT_TRUE(process.waitForFinished(120000));
        ASSERT_EQ(0, process.exitCode()) << process.readAllStandardError().toStdString();
        int seen = 0, adjusted = 0;
        for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() == 11 && !seen && f[7] == "1")
                seen = f[0].toInt();
            if (f.size() == 11 && !adjusted && f[2] == "0")
                adjusted = f[0].toInt();
        }
        // Ticks from the first that saw the locator to the first in operation; a Polaris ticks in real time.
        ASSERT_GT(seen, 0);
        EXPECT_GE(adjusted - seen, polaris ? 20 : 41);
        EXPECT_LE(adjusted - seen, polaris ? 80 : 41);
        const QStringList logs = QDir(data.filePath("Plan/Log")).entryList({"*.log"});
        ASSERT_EQ(1, logs.size());
        const std::string log = TestSupport::readFile(data.filePath("Plan/Log/" + logs[0]).toStdString());
        const std::size_t at = log.find("ACTION: REGISTERED ");
        ASSERT_NE(std::string::npos, at) << log;
        EXPECT_NEAR(27.6, std::atof(log.c_str() + at + 19), 0.01); // the visualised length of the 25 mm drill
    }
}

namespace {

// The files below the folder with the extension; none where there is no folder.
std::vector<std::string> below(const std::string& folder, const std::string& extension)
{
    std::vector<std::string> found;
    std::error_code none;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, none))
        if (entry.path().extension() == extension)
            found.push_back(entry.path().string());
    return found;
}

}

// A navigation whose planning is left alone stores its log in the planning's "Log" folder; one
// whose planning another instance overwrites meanwhile, in the planning that replaced it; one
// whose planning is removed with nothing to replace it, in the data folder's, saying so. No
// folder of the old planning is made again, no journal is left anywhere, and under umask 002
// every file the log makes may be written by the group too.
TEST_P(NavigationHeadlessOn, TheTreatmentLogEndsWhereItsPlanningIsThen)
{
    namespace fs = std::filesystem;
    using namespace PlanningSaveTest;
    enum class Meanwhile { nothing, overwritten, removed };
    const std::pair<const char*, Meanwhile> rows[] = {{"left alone", Meanwhile::nothing},
                                                      {"overwritten by another instance", Meanwhile::overwritten},
                                                      {"removed, nothing replaces it", Meanwhile::removed}};
    const auto mode = [](const std::string& path) {
        struct stat status{};
        return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0u;
    };
    for (const auto& [name, meanwhile] : rows) {
        SCOPED_TRACE(name);
        TestSupport::ScratchDir data;
        const std::string patients = data.file("Patients"), planning = makePlanning(patients);
        writeText(data.file("Morvanta.ini"), "[Morvanta]\nPatientPath=" + patients + "\n");
        std::ofstream procedure(data.file("procedure.txt"));
        NavigationScene::writeProcedure(procedure);
        procedure.close();
        QProcess process;
        process.setChildProcessModifier([] { ::umask(002); });
        process.setProcessEnvironment(TestSupport::onDisk(GetParam(), data.qpath()));
        process.start(MORVANTA_BINARY_DIR "/tools/navigation_headless",
                      {"--camera", "replay:" + data.qpath() + "/procedure.txt", "--fast", "--data-dir", data.qpath(),
                       "--planning-file", QString::fromStdString(planning + "/" + PlanningFinder::planningIn(planning)),
                       "--ticks", "100000000"});
        // Meanwhile: once the drill is registered, as its journal says.
        ASSERT_TRUE(until([&] {
            const auto journals = below(planning + "/Log", ".journal");
            return journals.size() == 1 && readBytes(journals[0]).find("ACTION: REGISTERED ") != std::string::npos;
        }));
        EXPECT_EQ(0664u, mode(below(planning + "/Log", ".journal").at(0)));
        if (meanwhile == Meanwhile::overwritten) {
            Session other;
            writeText(other.dir.file("Morvanta.ini"), "[Morvanta]\nPatientPath=" + patients + "\n");
            ASSERT_EQ("", load(other, planning));
            other.model->getImplantManager()->removeImplant(other.model->getImplantManager()->getImplant(1));
            ASSERT_EQ("", save(other, patients, true));
        } else if (meanwhile == Meanwhile::removed) {
            fs::remove_all(planning);
        }
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(60000));
        const std::string errors = process.readAllStandardError().toStdString();
        EXPECT_EQ(meanwhile == Meanwhile::removed ? 4 : 0, process.exitCode()) << errors;

        std::vector<std::string> plannings = listed(patients);
        std::erase(plannings, patients + "/MorvantaStudyDummy");
        ASSERT_EQ(meanwhile == Meanwhile::removed ? 0u : 1u, plannings.size());
        EXPECT_EQ(meanwhile == Meanwhile::nothing, fs::exists(planning)) << "the old folder is not made again";
        const std::string logFolder = plannings.empty() ? data.file("Log") : plannings[0] + "/Log";
        const auto logs = below(logFolder, ".log"), copies = below(patients + "/MorvantaStudyDummy/Log", ".log");
        ASSERT_TRUE(logs.size() == 1 && copies.size() == 1) << errors;
        EXPECT_NE(std::string::npos, readBytes(logs[0]).find("ACTION: REGISTERED "));
        EXPECT_EQ(readBytes(logs[0]), readBytes(copies[0]));
        EXPECT_EQ(meanwhile == Meanwhile::removed, errors.find("kept in " + logs[0] + ".") != std::string::npos) << errors;
        EXPECT_TRUE(below(data.path(), ".journal").empty());
        for (const std::string& made : {logs[0], copies[0], patients + "/MorvantaStudyDummy/MorvantaStudyDummy.srl",
                                        logFolder, patients + "/MorvantaStudyDummy"})
            EXPECT_EQ(fs::is_directory(made) ? 0775u : 0664u, mode(made)) << made;
    }
}

// A planning another user of the group saved, navigated by the second user: where its folder (or
// the study folder) is the first user's alone, as umask 022 and 027 leave it, the journal from its
// first entry on and the log are kept beside the program, where the study copy is kept too unless
// the log there stands for it; what is said names the folder and the true cause, never a hidden
// file, and the exit status is 4. With 002 everything goes where it belongs, and it is 0.
TEST(NavigationHeadless, AnotherUsersPlanningKeepsItsTreatmentLogBesideTheProgram)
{
    using namespace PlanningSaveTest;
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(firstUser), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const struct
    {
        const char *planningUmask, *studyUmask; // as the first user saved the planning and the study folder
        bool logInPlanning, copyInStudy;
    } rows[] = {{"022", "022", false, false}, {"027", "027", false, false}, {"002", "002", true, true}, {"002", "022", true, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.planningUmask) + ", study folder " + row.studyUmask);
        TestSupport::ScratchDir work;
        const std::string patients = work.file("patients"), planning = makePlanning(patients),
                          study = patients + "/MorvantaStudyDummy", data = work.file("data");
        writeText(study + "/MorvantaStudyDummy.srl", "[Patient]\n");
        writeText(data + "/Morvanta.ini", "[Morvanta]\nPatientPath=" + patients + "\n");
        std::ofstream procedure(data + "/procedure.txt");
        NavigationScene::writeProcedure(procedure);
        procedure.close();
        // What the patient folder (the group's, setgid) holds is the first user's, the data folder the second's.
        const auto modes = [](const std::string& folder, const char* umask) {
            const int mask = std::stoi(umask, nullptr, 8);
            return QString("find '%1' -type d -exec chmod %2 {} + && find '%1' -type f -exec chmod %3 {} + && ")
                .arg(QString::fromStdString(folder)).arg(02777 & ~mask, 0, 8).arg(0666 & ~mask, 0, 8);
        };
        ASSERT_EQ(0, QProcess::execute("sh", {"-c", QString("chown -R %1:%2 '%3' && ").arg(firstUser).arg(groupOfUsers).arg(work.qpath() + "/patients") +
                                                        modes(planning, row.planningUmask) + modes(study, row.studyUmask) +
                                                        QString("chown root '%1/patients' && chmod 2775 '%1/patients' && chown -R %2 '%1/data'")
                                                            .arg(work.qpath()).arg(secondUser)}));
        std::filesystem::permissions(work.path(), std::filesystem::perms(0711));

        QProcess process;
        QStringList command = asUser(secondUser, row.planningUmask)
                              << MORVANTA_BINARY_DIR "/tools/navigation_headless" << "--camera"
                              << QString::fromStdString("replay:" + data + "/procedure.txt") << "--fast" << "--data-dir"
                              << QString::fromStdString(data) << "--planning-file"
                              << QString::fromStdString(planning + "/" + PlanningFinder::planningIn(planning)) << "--ticks" << "100000000";
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(command.takeFirst(), command);
        // The journal, where it is kept, holds the treatment from its first entry on; where that is
        // beside the program, the user has heard so.
        std::string journaled, said;
        ASSERT_TRUE(until([&] {
            process.waitForReadyRead(10);
            said += process.readAll().toStdString();
            const auto found = below(row.logInPlanning ? planning + "/Log" : data + "/Log", ".journal");
            journaled = found.size() == 1 ? readBytes(found[0]) : std::string();
            return journaled.find("ACTION: REGISTERED ") != std::string::npos &&
                   (row.logInPlanning || said.find("It goes beside the program instead") != std::string::npos);
        })) << said;
        EXPECT_EQ(0u, journaled.find("DATE: ")) << journaled;
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        ASSERT_TRUE(process.waitForFinished(60000));
        said += process.readAll().toStdString();
        EXPECT_EQ(row.logInPlanning && row.copyInStudy ? 0 : 4, process.exitCode()) << said;

        const auto logs = below(row.logInPlanning ? planning + "/Log" : data + "/Log", ".log"),
                   copies = below(study + "/Log", ".log"), beside = below(data + "/Log", ".log");
        ASSERT_TRUE(logs.size() == 1 && copies.size() == (row.copyInStudy ? 1u : 0u) && beside.size() == (row.copyInStudy ? 0u : 1u)) << said;
        const std::string log = readBytes(logs[0]);
        EXPECT_EQ(log, readBytes(row.copyInStudy ? copies[0] : beside[0]));
        std::istringstream entries(journaled);
        for (std::string entry; std::getline(entries, entry);)
            if (entry.rfind("DATE: ", 0) == 0 && log.find(entry + "\n") == std::string::npos)
                ADD_FAILURE() << "an entry of the journal is not in the log: " << entry;
        EXPECT_TRUE(below(work.path(), ".journal").empty());

        // What the user read: at navigation on where the log goes and why, at its end where it is.
        const std::string refused = ": the folder Log may not be made in ";
        std::vector<std::string> expected;
        if (!row.logInPlanning)
            for (const std::string& then : {"It goes beside the program instead, into " + data + "/Log: its journal " + data + "/Log/",
                                            "It is kept beside the program, in " + logs[0] + "."})
                expected.push_back("The treatment log cannot go into the planning's folder " + planning + refused + planning +
                                   " (Permission denied). " + then);
        if (!row.copyInStudy)
            expected.push_back("The study copy of the treatment log cannot go into " + study + "/Log" + refused + study +
                               " (Permission denied). " +
                               (row.logInPlanning ? "It is kept beside the program, in " + beside[0] + "."
                                                  : "The treatment log kept beside the program, " + logs[0] + ", stands for it."));
        std::vector<std::string> told;
        std::istringstream lines(said);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("navigation_headless: ", 0) == 0)
                told.push_back(line.substr(21));
        ASSERT_EQ(expected.size(), told.size()) << said;
        for (std::size_t i = 0; i < told.size(); ++i)
            EXPECT_EQ(0u, told[i].find(expected[i])) << told[i] << "\nnot\n" << expected[i];
        EXPECT_EQ(std::string::npos, said.find("/.")) << "a hidden file is named";
    }
}
