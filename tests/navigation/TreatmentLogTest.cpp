// The treatment log: writer goldens, a two-implant treatment through the Model stored as log
// and study copy (also under a comma-decimal locale), the failures that must be told, and
// another instance's save that holds the planning's turn while navigation goes on and off. Every
// test runs on a local disk and under a file server's rules (PlanningSaveTest::imitateNfs), its
// child programs as well.
#include "common/SmallDisk.h"
#include "common/TestSupport.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/log/DrillLog.h"
#include "planning/log/PlanningPlace.h"
#include "planning/log/TreatmentLog.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "planning/ModelTestSupport.h"
#include "planning/PlanningSaveTestSupport.h"
#include "vexa/CommaLocale.h"

#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

using TestSupport::readFile;

std::vector<std::string> filesIn(const std::string& folder, const QString& pattern)
{
    std::vector<std::string> files;
    for (const auto& name : QDir(QString::fromStdString(folder)).entryList({pattern}, QDir::Files, QDir::Name))
        files.push_back(folder + "/" + name.toStdString());
    return files;
}

// Stores the log as the Model does and waits for the worker; what it told, the look at
// navigation on among it.
std::vector<std::string> stored(TreatmentLog& log, const std::string& planning, const std::vector<std::string>& patients)
{
    log.store(planning, patients, {});
    log.wait();
    return log.takeFailures();
}

// Compares with the golden file (the temporary folder written as "<home>");
// MORVANTA_UPDATE_GOLDENS=1 rewrites it.
void expectGolden(std::string text, const std::string& name, const QTemporaryDir& home)
{
    for (std::size_t at; (at = text.find(home.path().toStdString())) != std::string::npos;)
        text.replace(at, home.path().size(), "<home>");
    const std::string file = std::string(MORVANTA_TEST_DATA_DIR) + "/" + name;
    if (std::getenv("MORVANTA_UPDATE_GOLDENS"))
        std::ofstream(file, std::ios::binary) << text;
    EXPECT_EQ(readFile(file), text) << name;
}

enum class Rules { localDisk, fileServer };

void PrintTo(Rules rules, std::ostream* out)
{
    *out << (rules == Rules::localDisk ? "a local disk" : "a file server's rules");
}

class TreatmentLogTest : public ::testing::TestWithParam<Rules>
{
protected:
    void SetUp() override
    {
        Utilities::setClock([] { return QDateTime(QDate(2005, 3, 7), QTime(9, 5, 7)); });
        setenv("MORVANTA_HOME", home.path().toUtf8().constData(), 1);
        // The user's data folder, where a log goes that no other place takes.
        setenv("XDG_DATA_HOME", path("xdg").c_str(), 1);
        FolderHandle::imitateSillyRename(onServer());
        inject({});
        if (onServer())
            nfs.emplace("without exchange");
    }
    void TearDown() override
    {
        Utilities::setClock({});
        unsetenv("MORVANTA_HOME");
        unsetenv("XDG_DATA_HOME");
        FolderHandle::setFaultInjector({});
        FolderHandle::imitateSillyRename(false);
        nfs.reset();
    }
    bool onServer() const { return GetParam() == Rules::fileServer; }
    // `fault` before the rules the test runs under; nothing: those rules alone.
    void inject(std::function<int(FolderHandle::SystemCall, const std::string&)> fault)
    {
        if (!fault && !onServer())
            return FolderHandle::setFaultInjector({});
        FolderHandle::setFaultInjector([fault = std::move(fault), server = onServer()](FolderHandle::SystemCall call,
                                                                                       const std::string& at) {
            const int error = fault ? fault(call, at) : 0;
            return error || !server ? error : PlanningSaveTest::nfsRule(call, false);
        });
    }
    std::string path(const std::string& name) const { return home.filePath(QString::fromStdString(name)).toStdString(); }

    // Planning in "Plans/P.srl", patients under "Patients"; a mandible with two implants; a
    // drill of 25 mm registered; 20 ticks down implant 1 with a mark, 8 at implant 2 with a
    // mark; a manual calibration. Returns the Model, still navigating.
    std::shared_ptr<Model> treat()
    {
        QDir().mkpath(QString::fromStdString(path("Plans")));
        std::ofstream(path("Morvanta.ini")) << "[Morvanta]\nPatientPath=" << path("Patients") << "\n";
        auto settings = std::make_shared<Settings>(path("Morvanta.ini"));
        settings->setPlanningFile(path("Plans/P.srl"));
        auto model = std::make_shared<Model>(settings);
        model->setJaw(Constants::Mandible);
        model->setPatientData({{"name", "Doe^Jane\nSecond line"}});
        model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vector3D(0, 0, 0), 0, 10.0));
        model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vector3D(30, 5, -2), 0, 8.0));
        model->enableNavigation();
        model->logCalibrationStart(true, Constants::Mandible);
        model->logCalibration({0.512, 0.1}, {0.0, 0.0456}, {0.1, 0.02}, Constants::Mandible);
        const Matrix44<double> drill(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(-25, 0, 0));
        model->registerDrill(drill);
        // Without markers the planning is the locator's frame; the calibration is the identity.
        auto at = [&](const Vector3D& tip) {
            const Matrix44<double> patientTDrill(Vector3D(1, 0, 0), Vector3D(0, 1, 0), Vector3D(0, 0, 1), tip);
            model->setTrackerData(true, patientTDrill * Vexa::inverse(drill), true, Matrix44<double>());
        };
        for (int i = 0; i < 20; ++i) {
            at(Vector3D(0.2 + 0.01 * (i % 3), -0.1, 8.0 - 0.3 * i));
            if (i == 12)
                model->logUserDefinedState();
        }
        for (int i = 0; i < 8; ++i)
            at(Vector3D(30.1, 5.0 + 0.02 * i, 4.0 - 0.4 * i));
        model->logUserDefinedState();
        // Away from every implant the window empties: a mark then adds nothing.
        at(Vector3D(60, 60, 60));
        model->logUserDefinedState();
        return model;
    }

    QTemporaryDir home;
    std::optional<PlanningSaveTest::NfsRule> nfs; // for the child programs
};

}

INSTANTIATE_TEST_SUITE_P(, TreatmentLogTest, ::testing::Values(Rules::localDisk, Rules::fileServer),
                         [](const auto& rules) { return rules.param == Rules::localDisk ? "LocalDisk" : "FileServer"; });

TEST_P(TreatmentLogTest, WritersMatchTheirGoldens)
{
    DrillDifference a(1.234f, 0.05f, -0.5f, 0.025f, 3.6f, 0.11f, 1.5f, 0.25f, -2.0f, 0.5f, 27.6f, 1);
    DrillDifference b = a;
    b.depth = 3.5;
    b.date = "7/3/2005";
    b.time = "9:05:07";
    DrillPositions table(10.0f);
    ASSERT_TRUE(table.addDrillDifference(a, false));
    ASSERT_TRUE(table.addDrillDifference(DrillDifference(0, 0, 2.51f, 0, 0, 27.6f, 1), false));
    EXPECT_FALSE(table.addDrillDifference(DrillDifference(0, 0, 3.9f, 0, 0, 0, 1), true)) << "not below the largest";
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(4);
    out << table << DrillPositions() << a << '\n';
    DrillLog::writeLogStyle(out, table, 2, true);
    DrillLog::writeLogStyle(out, {b, a}, 3);
    DrillLog::writeList(out, {b});
    out << std::defaultfloat << std::setprecision(6);
    DrillLog::writeLogStyle(out, b, 4, false, 3.0f);
    expectGolden(out.str(), "writers.txt", home);
    for (const auto& [depth, key] : {std::pair{2.3f, 2.0}, {2.5f, 2.0}, {2.51f, 2.5}, {2.99f, 2.5}, {-0.2f, -0.5}})
        EXPECT_EQ(key, DrillLog::roundToHalfStep(depth)) << depth;
}

TEST_P(TreatmentLogTest, TreatmentIsStoredAsLogAndStudyCopyInAnyLocale)
{
    for (bool comma : {false, true}) {
        std::unique_ptr<CommaLocale::Global> locale;
        if (comma) {
            locale = std::make_unique<CommaLocale::Global>();
            std::setlocale(LC_ALL, "de_DE.UTF-8");
        }
        QDir(home.path()).removeRecursively();
        QDir().mkpath(home.path());
        auto model = treat();
        std::ostringstream text;
        model->writeNavigationDataLogToStream(text);
        model->disableNavigation();
        model->waitForTreatmentLog();
        std::setlocale(LC_ALL, "C");
        const auto logs = filesIn(path("Plans/Log"), "*.log");
        const auto copies = filesIn(path("Patients/MorvantaStudyDummy/Log"), "*.log");
        ASSERT_EQ(1u, logs.size());
        ASSERT_EQ(1u, copies.size());
        expectGolden(readFile(logs[0]), "treatment.log", home);
        EXPECT_EQ(readFile(logs[0]), readFile(copies[0]));
        EXPECT_EQ(readFile(logs[0]), text.str());
        EXPECT_TRUE(filesIn(path("Plans/Log"), "*.journal").empty()) << "the journal goes once the log is stored";
        expectGolden(readFile(path("Patients/MorvantaStudyDummy/MorvantaStudyDummy.srl")), "dummy.srl", home);
        EXPECT_EQ(readFile(path("CalibrationUK.txt")),
                  "DATE: 7/3/2005  TIME: 9:05:07  ACTION: CALIBRATION UK BC: u=0.51 s=0.10 DC: u=0.00 s=0.05 AC: "
                  "u=0.10 s=0.02\n");
    }
}

TEST_P(TreatmentLogTest, FailuresAreToldAndNothingIsOverwritten)
{
    // A Model that ends while navigating stores its log.
    treat().reset();
    const auto logs = filesIn(path("Plans/Log"), "*.log"), copies = filesIn(path("Patients/MorvantaStudyDummy/Log"), "*.log");
    ASSERT_EQ(1u, logs.size());
    ASSERT_EQ(1u, copies.size());
    const std::string first = readFile(logs[0]);
    std::ofstream(path("Patients/MorvantaStudyDummy/MorvantaStudyDummy.srl"), std::ios::app) << "# kept\n";
    const std::string dummy = readFile(path("Patients/MorvantaStudyDummy/MorvantaStudyDummy.srl"));

    // A second treatment in the same second: its names are taken. The first files stay, the log
    // is kept beside the program, once, the stored accuracy is loaded back.
    TreatmentLog log(home.path().toStdString());
    log.start("P", path("Plans/P.srl"), {}, Constants::Mandible);
    EXPECT_EQ("CALIBRATION UK FROM DATE: 7/3/2005  TIME: 9:05:07  LOADED BC: u=0.51 s=0.10 DC: u=0.00 s=0.05 AC: "
              "u=0.10 s=0.02",
              log.getCalibrationEntries().back().action.toStdString());
    const auto failures = stored(log, path("Plans/P.srl"), {path("Patients")});
    const auto beside = filesIn(path("Log"), "*.log");
    ASSERT_EQ(2u, failures.size());
    ASSERT_EQ(1u, beside.size());
    EXPECT_EQ("The treatment log cannot go into the planning's folder " + path("Plans") + ": the name " + logs[0] +
                  " is taken. It is kept beside the program, in " + beside[0] + ".",
              failures[0]);
    EXPECT_EQ("The study copy of the treatment log cannot go into " + path("Patients/MorvantaStudyDummy/Log") +
                  ": the name " + copies[0] + " is taken. The treatment log kept beside the program, " + beside[0] +
                  ", stands for it.",
              failures[1]);
    EXPECT_EQ(first, readFile(logs[0]));
    EXPECT_EQ(dummy, readFile(path("Patients/MorvantaStudyDummy/MorvantaStudyDummy.srl")));
    EXPECT_TRUE(filesIn(path("Plans/Log"), "*.journal").empty() && filesIn(path("Log"), "*.journal").empty());

    // A Log folder that cannot be made: told at the start and at the end, the log kept beside
    // the program, the study copy still written.
    QDir().mkpath(QString::fromStdString(path("Other")));
    std::ofstream(path("Other/Log")) << "a file where the folder belongs";
    Utilities::setClock([] { return QDateTime(QDate(2005, 3, 8), QTime(10, 0, 0)); });
    log.start("P", path("Other/P.srl"), {}, Constants::Mandible);
    log.wait(); // navigation goes on once the look is done
    const auto other = stored(log, path("Other/P.srl"), {path("Patients")});
    ASSERT_EQ(2u, other.size());
    EXPECT_EQ(0u, other[0].find("The treatment log cannot go into the planning's folder " + path("Other") + ": " +
                                path("Other/Log") + " is not a folder. It goes beside the program instead, into " +
                                path("Log") + ": its journal " + path("Log/"))) << other[0];
    EXPECT_EQ(0u, other[1].find("The treatment log cannot go into the planning's folder " + path("Other") + ": " +
                                path("Other/Log") + " is not a folder. It is kept beside the program, in " +
                                path("Log/"))) << other[1];
    EXPECT_EQ(2u, filesIn(path("Log"), "*.log").size());
    EXPECT_EQ(2u, filesIn(path("Patients/MorvantaStudyDummy/Log"), "*.log").size());
    // No absolute patient path: no study copy anywhere.
    log.start("P", path("Plans/P.srl"), {}, Constants::Mandible);
    EXPECT_TRUE(stored(log, path("Plans/P.srl"), {"relative"}).empty());
    EXPECT_FALSE(QFileInfo::exists("relative"));

    // A full disk under the accuracy file: told.
    ASSERT_EQ(0, ::symlink("/dev/full", path("CalibrationOK.txt").c_str()));
    EXPECT_EQ(1u, log.logCalibration({1, 1}, {0, 1}, {1, 1}, Constants::Maxilla).size());
}

// A drill tilted by known angles over an upright implant at the origin, marked once per tilt:
// tilted about x by a (its axis leaning to -y), the row's Angle Y is a; about y by b (leaning to
// +x), Angle X is -b; both, Rx(a) Ry(b): Angle X -b and Angle Y asin(sin a cos b).
TEST_P(TreatmentLogTest, TheAnglesOfATiltedDrill)
{
    QDir().mkpath(QString::fromStdString(path("Plans")));
    auto settings = std::make_shared<Settings>(path("Morvanta.ini"));
    settings->setPlanningFile(path("Plans/P.srl"));
    auto model = std::make_shared<Model>(settings);
    model->setJaw(Constants::Mandible);
    model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Vector3D(0, 0, 0), 0, 10.0));
    model->enableNavigation();
    const Matrix44<double> drill(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(-25, 0, 0));
    model->registerDrill(drill);
    auto turn = [](const Vector3D& axis, double degrees) {
        Matrix44<double> m;
        m.setRotation(axis, degrees * M_PI / 180.0);
        return m;
    };
    const struct { double a, b; } tilts[] = {{12.0, 0.0}, {-8.5, 0.0}, {0.0, 7.0}, {0.0, -15.25}, {10.0, 20.0}, {-25.0, 4.0}};
    for (const auto& t : tilts) {
        const Matrix44<double> rotation = turn(Vector3D(1, 0, 0), t.a) * turn(Vector3D(0, 1, 0), t.b);
        // Four samples fill the statistics window: the tip going down the tilted axis.
        for (int i = 0; i < 5; ++i) {
            const Vector3D tip = rotation.rotate(Vector3D(0, 0, 6.0 - 0.5 * i));
            Matrix44<double> patientTDrill = rotation;
            patientTDrill.setTranslation(tip);
            model->setTrackerData(true, patientTDrill * Vexa::inverse(drill), true, Matrix44<double>());
        }
        model->logUserDefinedState();
    }
    model->disableNavigation();
    model->waitForTreatmentLog();
    const auto logs = filesIn(path("Plans/Log"), "*.log");
    ASSERT_EQ(1u, logs.size());
    std::istringstream log(readFile(logs[0]));
    std::vector<std::pair<double, double>> rows;
    for (std::string line; std::getline(log, line);)
        if (line.find("TYPE: USER") != std::string::npos && std::getline(log, line)) {
            const auto x = line.find("Angle X: "), y = line.find("Angle Y: ");
            ASSERT_TRUE(x != std::string::npos && y != std::string::npos) << line;
            rows.emplace_back(std::stod(line.substr(x + 9)), std::stod(line.substr(y + 9)));
        }
    ASSERT_EQ(std::size(tilts), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double a = tilts[i].a * M_PI / 180.0, b = tilts[i].b * M_PI / 180.0;
        EXPECT_NEAR(-tilts[i].b, rows[i].first, 0.05) << "Angle X of tilt " << i;
        EXPECT_NEAR(std::asin(std::sin(a) * std::cos(b)) * 180.0 / M_PI, rows[i].second, 0.05) << "Angle Y of tilt " << i;
    }
}

// Standard error into a file while it lives: a line the program writes there is an event to wait for.
struct CapturedStderr
{
    explicit CapturedStderr(std::string name) : file(std::move(name)), saved((std::fflush(stderr), ::dup(2)))
    {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CapturedStderr() { std::fflush(stderr), ::dup2(saved, 2), ::close(saved); }
    const std::string file;
    const int saved;
};

// Another instance's live save of the planning holds its turn all through a treatment: every
// entry and tick is journaled at once, beside the program. Let go during navigation, the journal
// moves whole into the planning's folder and goes on there; navigation off, or the Model's end,
// while the turn is still held hands the log over, and it is stored in the planning's folder once
// the turn is free. Nothing is lost, no journal is left, nothing stays beside the program.
TEST_P(TreatmentLogTest, AnotherInstancesSaveHoldsUpNeitherTheTicksNorTheLog)
{
    enum LetGo { duringNavigation, afterNavigationOff, whileTheModelEnds };
    // However slow the machine, the turn is still waited for when the test lets it go.
    PlanningPlace::setPatience(std::chrono::minutes(2));
    const std::shared_ptr<void> patienceBack(nullptr, [](void*) { PlanningPlace::setPatience(std::chrono::milliseconds(0)); });
    for (const LetGo letGo : {duringNavigation, afterNavigationOff, whileTheModelEnds}) {
        SCOPED_TRACE(letGo);
        QDir(home.path()).removeRecursively();
        QDir().mkpath(home.path());
        // The save holds the turn of the planning's origin, "Plans", in the folder above it.
        auto turn = std::make_unique<OriginLock>(home.path().toStdString(), "Plans");
        auto model = treat();
        ASSERT_TRUE(model->isStoringTreatmentLog()) << "the look waits for the turn";
        const auto beside = filesIn(path("Log"), "*.journal");
        ASSERT_EQ(1u, beside.size());
        // The journal's writer takes the lines a moment after the ticks.
        EXPECT_TRUE(TestSupport::eventually([&] { return QString::fromStdString(readFile(beside[0])).count("SAMPLE ") == 28; },
                                            std::chrono::minutes(2)));
        const std::string journaled = readFile(beside[0]);
        EXPECT_EQ(28, QString::fromStdString(journaled).count("SAMPLE ")) << journaled;
        EXPECT_EQ(0u, journaled.find("DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n"));
        EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path("Plans/Log"))));
        std::ostringstream text;
        if (letGo == duringNavigation) {
            turn.reset();
            model->waitForTreatmentLog();
            const auto moved = filesIn(path("Plans/Log"), "*.journal");
            ASSERT_EQ(1u, moved.size());
            EXPECT_EQ(journaled, readFile(moved[0]));
            model->logCalibrationStart(false, Constants::Mandible);
            const std::string calibrated = journaled + "DATE: 7/3/2005  TIME: 9:05:07  ACTION: CALIBRATION UK STARTED\n";
            EXPECT_TRUE(TestSupport::eventually([&] { return readFile(moved[0]) == calibrated; }, std::chrono::minutes(2)));
            EXPECT_EQ(calibrated, readFile(moved[0]));
        }
        model->writeNavigationDataLogToStream(text);
        if (letGo != whileTheModelEnds) {
            model->disableNavigation();
            EXPECT_TRUE(letGo == duringNavigation || model->isStoringTreatmentLog()) << "off at once, the turn held";
            turn.reset();
            model->waitForTreatmentLog();
        } else {
            // Let go once the Model's end says what it waits for.
            const CapturedStderr said(path("stderr.txt"));
            std::thread ending([model = std::move(model)]() mutable { model.reset(); });
            EXPECT_TRUE(TestSupport::eventually(
                [&] { return readFile(said.file).find("being stored; it waits for ") != std::string::npos; },
                std::chrono::minutes(2)));
            turn.reset();
            ending.join();
        }
        const auto logs = filesIn(path("Plans/Log"), "*.log"), copies = filesIn(path("Patients/MorvantaStudyDummy/Log"), "*.log");
        ASSERT_TRUE(logs.size() == 1 && copies.size() == 1);
        EXPECT_EQ(text.str(), readFile(logs[0]));
        EXPECT_EQ(text.str(), readFile(copies[0]));
        EXPECT_TRUE(filesIn(path("Log"), "*").empty() && filesIn(path("Plans/Log"), "*.journal").empty());
    }
}

// Where neither the planning's folder nor the program's takes the log (a read-only disk, a file
// at "Log", a link at "Log", which is never followed, a full disk), the journal from the first entry on and the log go into the user's data
// folder: told at navigation on with both causes, never a promise of a place that failed, and at
// the end with every copy. Where the user's data folder refuses too, they go into the study folder
// of the first patient path, which the log then stands for; navigation on says plainly that no
// place takes the journal only where it does not know that folder.
TEST_P(TreatmentLogTest, WhereNeitherThePlanningNorTheProgramTakesTheLog)
{
    if (!SmallDisk::rerunInside(1 << 20))
        return;
    enum Refusal { readOnly, fileAtLog, fullDisk, linkAtLog };
    const struct
    {
        Refusal refusal;
        bool userRefuses;
        std::string cause;
        bool patientsKnownAtStart = false;
    } rows[] = {{readOnly, false, "Read-only file system"},
                {fileAtLog, false, "Log is not a folder"},
                {fullDisk, false, "No space left on device"},
                {fileAtLog, true, "Log is not a folder"},
                {fileAtLog, true, "Log is not a folder", true},
                {linkAtLog, false, "Log is a link, not a folder"}};
    const std::string xdg = path("xdg"), user = xdg + "/Morvanta/Log";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause + (row.userRefuses ? ", the user's data folder refuses too" : "") +
                     (row.patientsKnownAtStart ? ", the patient folders known at navigation on" : ""));
        QDir(QString::fromStdString(xdg)).removeRecursively();
        const std::string data = SmallDisk::clear("data"), plans = SmallDisk::path() + "/Plans",
                          patients = (row.refusal == fileAtLog || row.refusal == linkAtLog ? path("Patients")
                                                                                           : SmallDisk::path() + "/Patients");
        QDir().mkpath(QString::fromStdString(plans));
        QDir(QString::fromStdString(path("Patients"))).removeRecursively();
        QDir().mkpath(QString::fromStdString(patients));
        if (row.userRefuses) {
            QDir().mkpath(QString::fromStdString(xdg + "/Morvanta"));
            std::ofstream(user) << "a file where the folder belongs";
        }
        const std::string outside = path("Outside");
        QDir().mkpath(QString::fromStdString(outside));
        if (row.refusal == fileAtLog)
            std::ofstream(plans + "/Log"), std::ofstream(data + "/Log");
        else if (row.refusal == linkAtLog)
            std::filesystem::remove(plans + "/Log"), std::filesystem::create_directory_symlink(outside, plans + "/Log"),
                std::filesystem::create_directory_symlink(outside, data + "/Log");
        else if (row.refusal == fullDisk)
            SmallDisk::leaveFree(0);
        else
            ASSERT_EQ(0, QProcess::execute("mount", {"-o", "remount,ro", QString::fromStdString(SmallDisk::path())}));
        const std::shared_ptr<void> writable(nullptr, [&](void*) {
            if (row.refusal == readOnly)
                QProcess::execute("mount", {"-o", "remount,rw", QString::fromStdString(SmallDisk::path())});
        });

        TreatmentLog log(data);
        std::shared_ptr<const Settings> planning;
        if (row.patientsKnownAtStart) {
            std::ofstream(path("Morvanta.ini")) << "[Morvanta]\nPatientPath=" << patients << "\n";
            auto settings = std::make_shared<Settings>(path("Morvanta.ini"));
            settings->setPlanningFile(plans + "/P.srl");
            planning = settings->snapshot();
        }
        log.start("P", plans + "/P.srl", {}, Constants::Mandible, planning);
        log.wait();
        const auto on = log.takeFailures();
        ASSERT_EQ(1u, on.size());
        const std::string study = patients + "/MorvantaStudyDummy/Log";
        EXPECT_EQ(0u, on[0].find("The treatment log cannot go into the planning's folder " + plans + ": ")) << on[0];
        EXPECT_NE(std::string::npos, on[0].find(row.cause)) << on[0];
        EXPECT_EQ(std::string::npos, on[0].find("written into " + data)) << "a promise of a place that failed: " << on[0];
        const auto journals = filesIn(user, "*.journal");
        if (row.patientsKnownAtStart) {
            const auto inStudy = filesIn(study, "*.journal");
            ASSERT_EQ(1u, inStudy.size());
            EXPECT_NE(std::string::npos, on[0].find(". Nor can it go in the user's data folder: " + user + " is not a folder. It goes "
                                                    "into the study folder instead, " + study + ": its journal " + inStudy[0] + " now"))
                << on[0];
        } else if (row.userRefuses) {
            EXPECT_NE(std::string::npos, on[0].find("No place can take the treatment log: not beside the program: ")) << on[0];
            EXPECT_NE(std::string::npos, on[0].find("; nor in the user's data folder: " + user + " is not a folder.")) << on[0];
            EXPECT_TRUE(journals.empty());
        } else {
            EXPECT_NE(std::string::npos, on[0].find(". Nor can it go beside the program: ")) << on[0];
            ASSERT_EQ(1u, journals.size());
            EXPECT_NE(std::string::npos,
                      on[0].find("It goes into the user's data folder instead, " + user + ": its journal " + journals[0] + " now"))
                << on[0];
            // Every entry from the first on, and the next one as it comes.
            EXPECT_EQ(0u, readFile(journals[0]).find("DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n"));
            log.logCalibrationStart(false, Constants::Mandible);
            log.flushJournal();
            EXPECT_NE(std::string::npos, readFile(journals[0]).find("ACTION: CALIBRATION UK STARTED\n"));
        }

        const auto off = stored(log, plans + "/P.srl", {patients});
        ASSERT_FALSE(off.empty());
        EXPECT_EQ(0u, off[0].find("The treatment log cannot go into the planning's folder " + plans + ": ")) << off[0];
        EXPECT_NE(std::string::npos, off[0].find("Nor can it be kept beside the program: ")) << off[0];
        const auto logs = filesIn(user, "*.log"), copies = filesIn(patients + "/MorvantaStudyDummy/Log", "*.log");
        ASSERT_EQ(row.userRefuses ? 0u : 1u, logs.size());
        ASSERT_EQ(row.refusal == fileAtLog || row.refusal == linkAtLog ? 1u : 0u, copies.size());
        EXPECT_TRUE(filesIn(study, "*.journal").empty());
        if (!row.userRefuses) {
            EXPECT_NE(std::string::npos, off[0].find("It is kept in the user's data folder, in " + logs[0] + ".")) << off[0];
            EXPECT_EQ(0u, readFile(logs[0]).find("DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n"));
        } else {
            EXPECT_NE(std::string::npos, off[0].find("; nor in the user's data folder: " + user + " is not a folder.")) << off[0];
        }
        if (row.userRefuses) {
            EXPECT_NE(std::string::npos, off[0].find("It is kept in the study folder, in " + copies[0] + ".")) << off[0];
        } else if (!copies.empty()) {
            EXPECT_NE(std::string::npos, off[0].find("Its study copy is in " + copies[0] + ".")) << off[0];
        } else if (!row.userRefuses) {
            EXPECT_NE(std::string::npos, off.back().find("The treatment log kept in the user's data folder, " + logs[0] +
                                                          ", stands for it."))
                << off.back();
        }
        for (const auto& said : off)
            EXPECT_EQ(std::string::npos, said.find(".journal")) << "names a journal that is gone or empty: " << said;
        EXPECT_TRUE(filesIn(user, "*.journal").empty());
        EXPECT_TRUE(filesIn(data + "/Log", "*").empty() && filesIn(plans + "/Log", "*").empty());
        EXPECT_TRUE(filesIn(outside, "*").empty()) << "through a link";
    }
}

// A journal a program that was killed left becomes the log it stands for at the next start: from
// beside the program or the user's data folder into its planning's folder where that lies below
// the patient folders, else where it lies; in a planning's "Log" folder beside it; told once. A
// journal a live log holds stays, however old.
TEST_P(TreatmentLogTest, AJournalAKilledProgramLeftBecomesItsLog)
{
    const std::string xdg = path("xdg"), user = xdg + "/Morvanta/Log";
    QDir().mkpath(QString::fromStdString(path("Plans")));
    QDir().mkpath(QString::fromStdString(path("Log")));
    QDir().mkpath(QString::fromStdString(user));
    std::ofstream(path("Plans/P.srl")) << "planning";
    const std::string planned = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n"
                                "DATE: 7/3/2005  TIME: 9:05:07  ACTION: FILE " + path("Plans/P.srl") + "\nSAMPLE 1\t0.1\n",
                      gone = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: FILE " + path("Gone/P.srl") + "\n";
    std::ofstream(path("Log/A.journal")) << planned;
    std::ofstream(user + "/B.journal") << gone;
    // A live log's journal (no planning: it stays beside the program).
    TreatmentLog live(home.path().toStdString());
    live.start("P", "", {}, Constants::Mandible);
    const auto held = filesIn(path("Log"), "2*.journal");
    ASSERT_EQ(1u, held.size());
    // All as old as a killed program's would be.
    const struct timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 60, 0}};
    for (const auto& journal : {path("Log/A.journal"), user + "/B.journal", held[0]})
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, journal.c_str(), old, 0));

    TreatmentLog next(home.path().toStdString());
    const auto told = next.recover({path("Plans/Log")}, {home.path().toStdString()});
    ASSERT_EQ(2u, told.size());
    EXPECT_EQ(planned, readFile(path("Plans/Log/A.log")));
    EXPECT_EQ(gone, readFile(user + "/B.log"));
    EXPECT_NE(std::string::npos, told[0].find("its journal " + path("Log/A.journal") + ": it is in " + path("Plans/Log/A.log") + "."))
        << told[0];
    EXPECT_NE(std::string::npos, told[1].find("its journal " + user + "/B.journal: it is in " + user + "/B.log.")) << told[1];
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path("Log/A.journal"))));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(user + "/B.journal")));
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(held[0]))) << "a live log's journal is taken";
    EXPECT_TRUE(next.recover({path("Plans/Log")}, {home.path().toStdString()}).empty()) << "told once";

    // A start looks in the "Log" folder of every planning below the patient folders, where a
    // navigation's journal moves to.
    QDir().mkpath(QString::fromStdString(path("Patients/Case1/Log")));
    std::ofstream(path("Patients/Case1/P.srl")) << "planning";
    std::ofstream(path("Patients/Case1/Log/C.journal")) << planned;
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path("Patients/Case1/Log/C.journal").c_str(), old, 0));
    std::ofstream(path("Morvanta.ini")) << "[Morvanta]\nPatientPath=" << path("Patients") << "\n";
    Model(std::make_shared<Settings>(path("Morvanta.ini"))).recoverTreatmentLogs();
    EXPECT_EQ(planned, readFile(path("Patients/Case1/Log/C.log"))) << "beside the journal, in its planning's folder";
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path("Patients/Case1/Log/C.journal"))));
}

// What a start meets that is no dead journal of its own user's is left as it is, and no log is
// made of it: the journal of a live navigation, also one being made while its first lines are
// synced (slowly: a busy disk) and one long untouched; another user's (a line in the program's
// log, nothing told); one larger than a navigation writes (also without holes, beyond a bound
// lowered for the test) or with holes (told, never read); one behind a "Log" that is a link; a
// second name of another file; one whose name went to another place while it was being locked.
// None takes a start long.
TEST_P(TreatmentLogTest, AStartLeavesWhatIsNoDeadJournalOfItsOwn)
{
    enum Kind { live, beingMade, anotherUsers, oversized, overTheBound, sparse, behindALink, secondName, movedWhileLocked };
    const struct
    {
        const char* name;
        Kind kind;
        const char* told; // a part of what the start tells; empty: nothing
    } rows[] = {
        {"a live navigation's, an hour untouched", live, ""},
        {"a live navigation's while its first lines are synced", beingMade, ""},
        {"another user's", anotherUsers, ""},
        {"larger than a navigation writes", oversized, "it is larger (2147483648 bytes) than a navigation writes"},
        {"larger than the bound, without holes", overTheBound, "it is larger (1048577 bytes) than a navigation writes"},
        {"with holes", sparse, "it has holes, which no navigation writes"},
        {"behind a Log that is a link", behindALink, ""},
        {"a second name of another file", secondName, ""},
        {"moved away while it was being locked", movedWhileLocked, ""},
    };
    const std::string lines = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: FILE " + path("Patients/Case/P.srl") + "\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(home.path()).removeRecursively();
        for (const char* folder : {"Patients/Case/Log", "Log", "Outside"})
            QDir().mkpath(QString::fromStdString(path(folder)));
        std::ofstream(path("Patients/Case/P.srl")) << "planning";
        std::string journal = path("Patients/Case/Log/A.journal");
        TreatmentLog other(home.path().toStdString());
        std::vector<std::string> toldWhileMade;
        if (row.kind == live || row.kind == beingMade) {
            // Another start while the journal's first lines are synced finds nothing to take.
            std::atomic<bool> looked{false};
            if (row.kind == beingMade)
                inject([&](FolderHandle::SystemCall call, const std::string&) {
                    if (call == FolderHandle::SystemCall::sync && !looked.exchange(true))
                        toldWhileMade = other.recover({path("Patients/Case/Log")}, {path("Patients")});
                    return 0;
                });
            TreatmentLog navigating(home.path().toStdString());
            navigating.start("P", "", {}, Constants::Mandible);
            inject({});
            const auto made = filesIn(path("Log"), "*.journal");
            ASSERT_EQ(1u, made.size());
            journal = made[0];
            EXPECT_EQ(row.kind == beingMade, looked.load());
            const struct timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
            ASSERT_EQ(0, ::utimensat(AT_FDCWD, journal.c_str(), old, 0));
            const std::string before = readFile(journal);
            EXPECT_TRUE(other.recover({path("Patients/Case/Log")}, {path("Patients")}).empty());
            EXPECT_TRUE(toldWhileMade.empty());
            EXPECT_EQ(before, readFile(journal));
            EXPECT_TRUE(filesIn(path("Log"), "*.log").empty() && filesIn(path("Patients/Case/Log"), "*.log").empty());
            continue;
        }
        if (row.kind == behindALink) {
            journal = path("Outside/A.journal");
            QDir(QString::fromStdString(path("Patients/Case/Log"))).removeRecursively();
            ASSERT_EQ(0, ::symlink(path("Outside").c_str(), path("Patients/Case/Log").c_str()));
        }
        const std::shared_ptr<void> back(nullptr, [this](void*) { inject({}), TreatmentLog::setLargestJournal(0); });
        if (row.kind == secondName) {
            std::ofstream(path("Outside/mine")) << lines;
            ASSERT_EQ(0, ::link(path("Outside/mine").c_str(), journal.c_str()));
        } else if (row.kind == overTheBound) {
            TreatmentLog::setLargestJournal(1 << 20);
            std::ofstream(journal) << lines << std::string((1 << 20) - lines.size(), 'x') << "\n";
        } else if (row.kind == movedWhileLocked) {
            inject([&](FolderHandle::SystemCall call, const std::string& at) {
                if (call == FolderHandle::SystemCall::lock && at == journal) {
                    const std::string from = std::exchange(journal, path("Outside/A.journal"));
                    std::filesystem::rename(from, journal);
                }
                return 0;
            });
        }
        if (row.kind != secondName && row.kind != overTheBound) {
            std::ofstream(journal) << lines;
            const int fd = ::open(journal.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            if (row.kind == anotherUsers && ::fchown(fd, 54321, 54321) != 0) {
                ::close(fd);
                GTEST_LOG_(INFO) << "only root gives a file to another user: row skipped";
                continue;
            }
            // A 2 GB file of 4 KB on the disk; one with a hole of a megabyte before its last line.
            if (row.kind == oversized) {
                EXPECT_EQ(0, ::ftruncate(fd, off_t(2) << 30));
            } else if (row.kind == sparse) {
                EXPECT_EQ(1, ::pwrite(fd, "\n", 1, 1 << 20));
            }
            ::close(fd);
        }
        const auto begun = std::chrono::steady_clock::now();
        const auto told = other.recover({path("Patients/Case/Log")}, {path("Patients")});
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2)) << "read whole";
        if (*row.told) {
            ASSERT_EQ(1u, told.size());
            EXPECT_EQ("The journal " + journal + " is left as it is: " + row.told + ", so it is no journal of this program's.",
                      told[0]);
            EXPECT_TRUE(other.recover({path("Patients/Case/Log")}, {path("Patients")}).empty()) << "told once";
        } else {
            EXPECT_TRUE(told.empty()) << told.front();
        }
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(journal)));
        for (const char* folder : {"Patients/Case/Log", "Log", "Outside", "xdg/Morvanta/Log"})
            EXPECT_TRUE(filesIn(path(folder), "*.log").empty()) << folder;
    }
}

// One journal, one log: a journal whose log was made by a start that was killed before removing
// it is only removed, and that log told, since nobody heard of it; a journal that cannot be
// removed is made into its log once, told once, and never copied again, and one whose log was
// stored is never made into a second, also where a start cannot look at that log (it stays, and
// the start says so); another file at the log's name sends the log to the next name. A last line
// that names any file, or another surgery's log with its very size and hash, is no mark of where
// the journal's lines went, and one cut short is none of its lines.
TEST_P(TreatmentLogTest, OneJournalBecomesOneLog)
{
    enum Kind { logMadeBefore, cannotBeRemoved, nameTaken, storedButNotRemoved, storedLogUnread, namesAnyFile,
                namesAnotherLog, markCutShort };
    const struct
    {
        const char* name;
        Kind kind;
        const char* log;  // where the log is
        bool toldMade;    // the start says that it was made
        int lookFails = 0; // the error of the first start's look at the stored log
    } rows[] = {
        {"its log made before", logMadeBefore, "A.log", true},
        {"it cannot be removed", cannotBeRemoved, "A.log", true},
        {"another file at its log's name", nameTaken, "A-2.log", true},
        {"its log stored, it cannot be removed", storedButNotRemoved, "2005-03-07__09-05-07-0.log", false},
        {"its stored log cannot be read", storedLogUnread, "2005-03-07__09-05-07-0.log", false, EIO},
        {"its stored log may not be looked at", storedLogUnread, "2005-03-07__09-05-07-0.log", false, EACCES},
        {"its last line names any file", namesAnyFile, "A.log", true},
        {"its last line names another surgery's log, size and hash", namesAnotherLog, "A.log", true},
        {"its last line is a mark cut short", markCutShort, "A.log", true},
    };
    const std::string lines = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\nSAMPLE 1\t0.1\n";
    const std::string logs = path("Plans/Log/");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(home.path()).removeRecursively();
        QDir().mkpath(QString::fromStdString(logs));
        const bool storedByNavigation = row.kind == storedButNotRemoved;
        // The log a last line names: the surgery's own, stored, or another surgery's.
        const std::string another = logs + "2004-01-02__10-00-00-0.log", storedText = lines + "\nNUMBER OF IMPLANTS: 0\n";
        if (row.kind == namesAnotherLog)
            std::ofstream(another) << "DATE: 2/1/2004  TIME: 10:00:00  ACTION: START TREATMENT\n";
        if (row.kind == storedLogUnread)
            std::ofstream(logs + row.log) << storedText;
        const auto markOf = [&](const std::string& log) {
            return "STORED " + *FolderHandle::open(logs).contentKey(log.substr(logs.size())) + " " + log + "\n";
        };
        if (!storedByNavigation)
            std::ofstream(logs + "A.journal") << lines
                                              << (row.kind == namesAnyFile      ? "MOVED /etc/hostname\n"
                                                  : row.kind == namesAnotherLog ? markOf(another)
                                                  : row.kind == storedLogUnread ? markOf(logs + row.log)
                                                  : row.kind == markCutShort    ? "STORED 612 3f2a"
                                                                                : "");
        if (row.kind == logMadeBefore)
            std::ofstream(logs + "A.log") << lines;
        if (row.kind == nameTaken)
            std::ofstream(logs + "A.log") << "another log";
        // Its folder refuses the removal (another user's, or made read-only after the kill).
        const std::shared_ptr<void> injected(nullptr, [this](void*) { inject({}); });
        if (row.kind == cannotBeRemoved || storedByNavigation)
            inject([](FolderHandle::SystemCall call, const std::string& at) {
                return call == FolderHandle::SystemCall::remove && at.ends_with(".journal") ? EACCES : 0;
            });
        std::string journal = logs + "A.journal";
        if (storedByNavigation) {
            // Its journal moves from beside the program into the planning's folder: neither goes.
            TreatmentLog navigated(home.path().toStdString());
            navigated.start("P", path("Plans/P.srl"), {}, Constants::Mandible);
            navigated.wait();
            EXPECT_TRUE(stored(navigated, path("Plans/P.srl"), {}).empty());
            ASSERT_EQ(1u, filesIn(path("Plans/Log"), "*.journal").size());
            journal = filesIn(path("Plans/Log"), "*.journal")[0];
        }
        TreatmentLog next(home.path().toStdString());
        for (int start = 0; start < 3; ++start) {
            // A file server's passing error at the first start's look at the stored log; the
            // journal goes once a start sees that log.
            const std::string storedLog = logs + row.log, marked = readFile(journal);
            if (row.lookFails && start == 0)
                inject([storedLog, error = row.lookFails](FolderHandle::SystemCall call, const std::string& at) {
                    return at == storedLog && call == FolderHandle::SystemCall::status ? error : 0;
                });
            else if (row.lookFails)
                inject({});
            const auto told = next.recover({path("Plans/Log")});
            const std::string made = "The treatment log of a navigation whose program ended before storing it was made "
                                     "from its journal " + logs + "A.journal: it is in " + logs + row.log + ".";
            if (start == 0 && row.lookFails) {
                ASSERT_EQ(1u, told.size());
                EXPECT_EQ("The journal " + journal + " of a navigation is kept for a later start: whether its treatment log " +
                              storedLog + " is there cannot be checked: " + storedLog + " cannot be read (" +
                              std::strerror(row.lookFails) + ").",
                          told[0]);
                EXPECT_EQ(marked, readFile(journal)) << "its mark stays";
            } else if (start == 0 && row.toldMade) {
                ASSERT_EQ(1u, told.size());
                EXPECT_EQ(made + (row.kind == cannotBeRemoved ? " Its journal cannot be removed (Permission denied); no "
                                                                "other log is made of it."
                                                              : ""),
                          told[0]);
            } else {
                EXPECT_TRUE(told.empty()) << "start " << start << ": " << told.front();
            }
        }
        if (!storedByNavigation) {
            EXPECT_EQ(row.kind == storedLogUnread ? storedText : lines, readFile(logs + row.log));
        }
        EXPECT_EQ(0u, readFile(logs + row.log).find("DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n"));
        EXPECT_EQ(row.kind == nameTaken || row.kind == namesAnotherLog ? 2u : 1u, filesIn(path("Plans/Log"), "*.log").size());
        EXPECT_TRUE(filesIn(path("Log"), "*.log").empty());
        EXPECT_EQ(row.kind == cannotBeRemoved || row.kind == storedButNotRemoved,
                  QFileInfo::exists(QString::fromStdString(journal)));
        if (row.kind == nameTaken) {
            EXPECT_EQ("another log", readFile(logs + "A.log"));
        }
        if (row.kind == namesAnotherLog) {
            EXPECT_EQ("DATE: 2/1/2004  TIME: 10:00:00  ACTION: START TREATMENT\n", readFile(another));
        }
    }
}

// A program killed at any call of its log's worker (the move of the journal into the planning's
// folder, the store of the log and its study copy) or of a start that makes a killed program's
// journal into its log, and a start that stops (quitting) while it copies one: the next start
// leaves one log of the surgery with what was journaled, tells of it once where it made it or
// where a start made it and ended before its journal went, and leaves no journal and no temporary
// file. So also where the journals are open here as well, as on a computer where another program
// reads them (on a file server a name removed while its file is open stays as ".nfs…"), and where
// another instance overwrote the planning before the start (its "Log" folder, with the journal and
// what its last line names, moved into the planning that replaced it).
TEST_P(TreatmentLogTest, AKillAtAnyCallLeavesOneLogOfTheSurgery)
{
    const std::string planning = path("Patients/Case/P.srl"),
                      folders[] = {path("Patients/Case/Log"), path("Log"), path("xdg/Morvanta/Log"),
                                   path("Patients/MorvantaStudyDummy/Log"), path("Patients/Case-2/Log")};
    const auto found = [&](const QString& pattern, bool study = false) {
        std::vector<std::string> all;
        for (const auto& folder : folders)
            if (study || folder != folders[3])
                for (const QString& name : QDir(QString::fromStdString(folder)).entryList({pattern}, QDir::Files | QDir::Hidden))
                    all.push_back(folder + "/" + name.toStdString());
        return all;
    };
    const std::string lines = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\nDATE: 7/3/2005  TIME: 9:05:07  ACTION: FILE " +
                        planning + "\nDATE: 7/3/2005  TIME: 9:05:07  ACTION: CALIBRATION UK STARTED\n";
    // What may come between a killed navigation and the next start; each is started from under
    // once, from a copy of what one kill left.
    enum class Meanwhile { nothing, openHere, overwritten };
    std::vector<Meanwhile> afterNavigation{Meanwhile::nothing, Meanwhile::overwritten};
    if (onServer())
        afterNavigation.push_back(Meanwhile::openHere); // a local disk removes a name of an open file like any other
    QTemporaryDir killed;
    for (const std::string phase : {"navigation", "start", "stop"}) {
        bool through = false;
        int call = 1;
        for (; !through; ++call) {
            SCOPED_TRACE(phase + ", ended at call " + std::to_string(call));
            ASSERT_LT(call, 500);
            QDir(home.path()).removeRecursively();
            QDir().mkpath(QString::fromStdString(path("Patients/Case")));
            QDir().mkpath(QString::fromStdString(path("Log")));
            std::ofstream(planning) << "planning";
            if (phase == "stop") {
                // Quitting while a copy of 16 blocks goes on: after `call` of them.
                std::ofstream(path("Log/A.journal")) << lines << std::string((1 << 20) - lines.size() - 1, 'x') << "\n";
                int asked = 0;
                const auto told = TreatmentLog(home.path().toStdString())
                                      .recover({folders[0]}, {path("Patients")}, [&] { return ++asked > call; });
                through = asked <= call;
                EXPECT_EQ(found("*.log").size(), told.size()) << "told where it was made";
            } else {
                if (phase == "start")
                    std::ofstream(path("Log/A.journal")) << lines;
                QProcess child;
                auto environment = QProcessEnvironment::systemEnvironment();
                environment.insert("MORVANTA_TEST_WITHOUT_GUI", "1");
                environment.insert("MORVANTA_LOG_CHILD", QString::fromStdString(phase + " " + std::to_string(call) + " " + planning));
                child.setProcessEnvironment(environment);
                child.start(QCoreApplication::applicationFilePath(),
                            {"--gtest_also_run_disabled_tests", "--gtest_filter=DISABLED_TreatmentLogChild.Run", "--gtest_brief=1"});
                ASSERT_TRUE(child.waitForFinished(120000));
                through = child.exitStatus() == QProcess::NormalExit;
                ASSERT_TRUE(!through || child.exitCode() == 0) << child.readAllStandardOutput().toStdString();
            }
            const std::vector<Meanwhile> meanwhiles = phase == "navigation" ? afterNavigation : std::vector{Meanwhile::nothing};
            // Copied as it is, the names of one file with it.
            if (meanwhiles.size() > 1) {
                ASSERT_EQ(0, QProcess::execute("cp", {"-a", home.path() + "/.", killed.path()}));
            }
            for (const Meanwhile meanwhile : meanwhiles) {
                SCOPED_TRACE(meanwhile == Meanwhile::openHere      ? "its journals open here as well"
                             : meanwhile == Meanwhile::overwritten ? "its planning overwritten before the start"
                                                                   : "nothing between");
                if (meanwhile != meanwhiles.front()) {
                    QDir(home.path()).removeRecursively();
                    ASSERT_EQ(0, QProcess::execute("cp", {"-a", killed.path() + "/.", home.path()}));
                }
                if (meanwhile == Meanwhile::overwritten) {
                    // As the take-over of an overwrite leaves it: the planning that replaced it
                    // carries its origin, and holds its "Log" folder.
                    std::filesystem::create_directories(path("Patients/Case-2"));
                    std::ofstream(path("Patients/Case-2/P.srl")) << "[Planningdata]\norigin=Case\n";
                    if (QFileInfo::exists(QString::fromStdString(folders[0])))
                        std::filesystem::rename(folders[0], folders[4]);
                    std::filesystem::remove_all(path("Patients/Case"));
                }
                std::vector<FolderHandle::File> open;
                if (meanwhile == Meanwhile::openHere)
                    for (const std::string& journal : found("*.journal")) {
                        const std::filesystem::path at(journal);
                        open.push_back(std::move(*FolderHandle::open(at.parent_path().string()).openFile(at.filename().string())));
                    }
                // The next start, as long after as a file server's clock may tell it.
                const std::size_t before = found("*.log").size();
                const bool journalLeft = !found("*.journal").empty();
                EXPECT_TRUE(!through || phase != "navigation" || found("*.journal*").empty()) << "left by a navigation that ended";
                const std::string logFolder = folders[meanwhile == Meanwhile::overwritten ? 4 : 0];
                FolderHandle::setClockAhead(std::chrono::hours(1));
                const auto told = TreatmentLog(home.path().toStdString()).recover({logFolder}, {path("Patients")});
                const auto again = TreatmentLog(home.path().toStdString()).recover({logFolder}, {path("Patients")});
                FolderHandle::setClockAhead({});
                open.clear();
                const auto logs = found("*.log");
                ASSERT_EQ(1u, logs.size());
                EXPECT_NE(std::string::npos, readFile(logs[0]).find("ACTION: CALIBRATION UK STARTED\n")) << readFile(logs[0]);
                // A log a start made of a journal it was killed before removing: nobody heard of it.
                ASSERT_EQ(before == 0 || (phase != "navigation" && journalLeft) ? 1u : 0u, told.size());
                EXPECT_TRUE(told.empty() || told[0].ends_with("it is in " + logs[0] + ".")) << told[0];
                EXPECT_TRUE(again.empty()) << again.front();
                EXPECT_TRUE(found("*.journal*").empty()) << found("*.journal*").front();
                EXPECT_TRUE(found("*.morvanta-tmp-*", true).empty()) << found("*.morvanta-tmp-*", true).front();
                if (HasFailure())
                    return;
            }
            if (meanwhiles.size() > 1) {
                QDir(killed.path()).removeRecursively();
                QDir().mkpath(killed.path());
            }
        }
        EXPECT_TRUE(phase != "stop" || call > 16) << "asked between the blocks of the copy";
    }
}

// A program that navigates ("navigation": its journal moves into the planning's folder, then its
// log is stored) or starts ("start": a killed program's journal made into its log) in the folder
// MORVANTA_HOME under the rules of its parent, killed at the given call of its worker or its start.
TEST(DISABLED_TreatmentLogChild, Run)
{
    std::istringstream given(qEnvironmentVariable("MORVANTA_LOG_CHILD").toStdString());
    std::string phase, planning, home = std::getenv("MORVANTA_HOME");
    int killAt = 0;
    given >> phase >> killAt >> planning;
    const bool server = qEnvironmentVariableIsSet("MORVANTA_SAVE_NFS_LOCKS");
    FolderHandle::imitateSillyRename(server);
    const auto main = std::this_thread::get_id();
    std::atomic<int> calls{0};
    std::atomic<bool> journaled{phase == "start"};
    FolderHandle::setFaultInjector([&](FolderHandle::SystemCall call, const std::string&) {
        if ((phase == "start") == (std::this_thread::get_id() == main)) {
            // The worker begins once the line it is to move is journaled: the journal's writer
            // writes it meanwhile.
            while (!journaled && !(phase != "start" && call == FolderHandle::SystemCall::write))
                std::this_thread::yield();
            if (journaled && ++calls == killAt)
                ::kill(::getpid(), SIGKILL);
        }
        return server ? PlanningSaveTest::nfsRule(call, false) : 0;
    });
    if (phase == "start") {
        TreatmentLog(home).recover({}, {home + "/Patients"});
        return;
    }
    TreatmentLog log(home);
    log.start("P", planning, {}, Constants::Mandible);
    log.logCalibrationStart(false, Constants::Mandible);
    log.flushJournal();
    journaled = true;
    log.wait();
    log.logRegistration(27.6);
    log.store(planning, {home + "/Patients"}, {});
    log.wait();
}

// Under a file server's rules (no file without a name, an exclusive lock only on what is open
// for writing, a removed open file kept as ".nfs…"), a start makes a killed navigation's journal
// into its log, with the second name it was made under, and leaves a live one; a lock refused for
// another reason than another holder is told, never taken for a live navigation.
TEST_P(TreatmentLogTest, AStartUnderAFileServersRules)
{
    const struct
    {
        const char* name;
        int lockRefused; // errno value of every lock; 0: the file server's rules
    } rows[] = {{"the file server's rules", 0}, {"no lock service", ENOLCK}, {"a lock that fails", EIO}};
    const std::string lines = "DATE: 7/3/2005  TIME: 9:05:07  ACTION: START TREATMENT\n";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QDir(home.path()).removeRecursively();
        QDir().mkpath(QString::fromStdString(path("Log")));
        const std::shared_ptr<void> back(nullptr, [](void*) {
            FolderHandle::setFaultInjector({});
            FolderHandle::imitateSillyRename(false);
        });
        PlanningSaveTest::imitateNfs(false);
        TreatmentLog live(home.path().toStdString());
        live.start("P", "", {}, Constants::Mandible);
        const auto held = filesIn(path("Log"), "*.journal");
        ASSERT_EQ(1u, held.size());
        std::ofstream(path("Log/A.journal")) << lines;
        ASSERT_EQ(0, ::link(path("Log/A.journal").c_str(), path("Log/.A.journal.morvanta-tmp-Ab12Cd").c_str()));
        if (row.lockRefused)
            FolderHandle::setFaultInjector([&](FolderHandle::SystemCall call, const std::string&) {
                return call == FolderHandle::SystemCall::lock ? row.lockRefused : PlanningSaveTest::nfsRule(call, false);
            });
        const auto told = TreatmentLog(home.path().toStdString()).recover();
        if (!row.lockRefused) {
            ASSERT_EQ(1u, told.size());
            EXPECT_NE(std::string::npos, told[0].find("it is in " + path("Log/A.log") + ".")) << told[0];
            EXPECT_EQ(lines, readFile(path("Log/A.log")));
            EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(path("Log/A.journal"))));
        } else {
            ASSERT_EQ(2u, told.size());
            for (const auto& journal : {held[0], path("Log/A.journal")})
                EXPECT_TRUE(std::any_of(told.begin(), told.end(), [&](const std::string& said) {
                    return said == "The journal " + journal + " of a navigation cannot be locked (" +
                                       std::strerror(row.lockRefused) +
                                       "), so whether its navigation still runs cannot be told: it is left as it is.";
                })) << journal;
            EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(path("Log/A.journal"))));
        }
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(held[0]))) << "a live navigation's journal is taken";
        // The live journal's second name stays with it; the killed one's goes with it.
        const QStringList hidden = QDir(QString::fromStdString(path("Log"))).entryList({".*.journal.*"}, QDir::Files | QDir::Hidden);
        EXPECT_EQ(row.lockRefused ? 2 : 1, hidden.size()) << hidden.join(", ").toStdString();
        EXPECT_EQ(row.lockRefused != 0, hidden.contains(".A.journal.morvanta-tmp-Ab12Cd"));
        EXPECT_EQ(1u, filesIn(path("Log"), "*.log").size() + (row.lockRefused ? 1u : 0u));
    }
}

// Quitting beside another instance's save that never ends: however many looks for the planning's
// place are still to come, they wait together no longer than the quit's bound, not each its own
// patience one after another.
TEST_P(TreatmentLogTest, QuittingWaitsForTheLogABoundedTimeAsAWhole)
{
    const auto patience = std::chrono::seconds(4);
    PlanningPlace::setPatience(patience);
    const std::shared_ptr<void> patienceBack(nullptr, [](void*) { PlanningPlace::setPatience(std::chrono::milliseconds(0)); });
    QDir().mkpath(home.path());
    const OriginLock turn(home.path().toStdString(), "Plans");
    auto model = treat();
    const auto begun = std::chrono::steady_clock::now();
    // Every log a name of its own: a second later each time the clock is read.
    auto seconds = std::make_shared<std::atomic<int>>(0);
    Utilities::setClock([seconds] { return QDateTime(QDate(2005, 3, 8), QTime(9, 0, 0)).addSecs(++*seconds); });
    for (int i = 0; i < 3; ++i) {
        model->disableNavigation();
        model->enableNavigation();
    }
    model->disableNavigation();
    ASSERT_TRUE(model->isStoringTreatmentLog());
    model->hurryTreatmentLog(std::chrono::steady_clock::now() + patience);
    model->waitForTreatmentLog();
    const auto waited = std::chrono::steady_clock::now() - begun;
    // Four looks one after another would take 16 s; the first one's own patience and the bound
    // overlap.
    EXPECT_LT(waited, 2 * patience + std::chrono::seconds(1));
    EXPECT_EQ(4u, filesIn(path("Plans/Log"), "*.log").size() + filesIn(path("Log"), "*.log").size());
}

// The planning's folder on a file server that stops answering mid-navigation (every call below it
// held, the journal's writes and its move alike): the ticks go on at their pace, the journal's
// lines wait in memory and the stall is told with its folder; once it answers they all go in, in
// order. Navigation off while it does not answer ends within the bound with the log, whole, beside
// the program, and the user told where; once it answers again its journal goes and no second log
// is made.
TEST_P(TreatmentLogTest, AFolderThatStopsAnsweringHoldsNeitherTheTicksNorTheEnd)
{
    struct Server
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool down = false;
        int held = 0;
        void set(bool isDown)
        {
            {
                std::lock_guard lock(mutex);
                down = isDown;
            }
            changed.notify_all();
        }
    };
    auto server = std::make_shared<Server>();
    const std::string plans = path("Plans");
    inject([server, plans](FolderHandle::SystemCall, const std::string& at) {
        if (at.rfind(plans + "/", 0) == 0) {
            std::unique_lock lock(server->mutex);
            if (server->down) {
                ++server->held;
                server->changed.notify_all();
                server->changed.wait(lock, [&] { return !server->down; });
            }
        }
        return 0;
    });
    // Whatever fails, no call stays held past the test.
    const std::shared_ptr<void> up(nullptr, [server](void*) { server->set(false); });
    const auto heldCalls = [server] {
        std::lock_guard lock(server->mutex);
        return server->held;
    };
    auto model = treat();
    model->waitForTreatmentLog();
    const auto moved = filesIn(path("Plans/Log"), "*.journal");
    ASSERT_EQ(1u, moved.size()) << "the journal in the planning's folder";
    const auto samples = [&] { return QString::fromStdString(readFile(moved[0])).count("SAMPLE "); };
    ASSERT_TRUE(TestSupport::eventually([&] { return samples() == 28; }, std::chrono::minutes(2)));

    const Matrix44<double> drill(Vector3D(0, 0, -1), Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(-25, 0, 0));
    const auto tick = [&](int i) {
        const Vector3D tip(0.2, -0.1, 2.0 - 0.05 * i);
        const Matrix44<double> patientTDrill(Vector3D(1, 0, 0), Vector3D(0, 1, 0), Vector3D(0, 0, 1), tip);
        model->setTrackerData(true, patientTDrill * Vexa::inverse(drill), true, Matrix44<double>());
    };
    server->set(true);
    // Every tick returns while the writer is held (a held tick never would).
    for (int i = 0; i < 10; ++i)
        tick(i);
    ASSERT_TRUE(TestSupport::eventually([&] { return heldCalls() > 0; }, std::chrono::minutes(2)));
    for (int i = 10; i < 20; ++i)
        tick(i);
    ASSERT_TRUE(TestSupport::eventually([&] { return model->treatmentLogStall().has_value(); }, std::chrono::minutes(2)));
    EXPECT_EQ(path("Plans/Log"), model->treatmentLogStall()->first);
    EXPECT_LE(std::abs(std::difftime(std::time(nullptr), model->treatmentLogStall()->second)), 600.0);
    EXPECT_EQ(28, samples()) << "nothing written while the folder does not answer";
    server->set(false);
    ASSERT_TRUE(TestSupport::eventually([&] { return samples() == 48; }, std::chrono::minutes(2)));
    EXPECT_TRUE(TestSupport::eventually([&] { return !model->treatmentLogStall(); }, std::chrono::minutes(2)));
    // In order: the drill's depth changes one way tick by tick.
    std::vector<double> depths;
    std::istringstream lines(readFile(moved[0]));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("SAMPLE ", 0) == 0) {
            std::istringstream fields(line.substr(line.find('\t') + 1));
            double x, dx, y, dy, depth;
            fields >> x >> dx >> y >> dy >> depth;
            depths.push_back(depth);
        }
    ASSERT_EQ(48u, depths.size());
    for (std::size_t i = 29; i < depths.size(); ++i)
        EXPECT_GT((depths[i] - depths[i - 1]) * (depths[29] - depths[28]), 0.0) << "sample " << i;

    // Down again, and navigation off: the end waits no longer than the bound.
    server->set(true);
    for (int i = 20; i < 25; ++i)
        tick(i);
    std::ostringstream text;
    model->writeNavigationDataLogToStream(text);
    const CapturedStderr said(path("stderr.txt"));
    const auto begun = std::chrono::steady_clock::now();
    model->disableNavigation();
    model->waitForTreatmentLog();
    const auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_LT(waited, 3 * TreatmentLog::answerBound);
    EXPECT_FALSE(model->isStoringTreatmentLog());
    const auto kept = filesIn(path("Log"), "*.log");
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(text.str(), readFile(kept[0])) << "every line of the surgery";
    EXPECT_TRUE(TestSupport::eventually([&] { return readFile(said.file).find("It is kept beside the program, in " + kept[0]) !=
                                                     std::string::npos; },
                                        std::chrono::minutes(2)))
        << readFile(said.file);
    EXPECT_NE(std::string::npos, readFile(said.file).find("The treatment log cannot go into the planning's folder " + plans +
                                                          ": it has not answered since "))
        << readFile(said.file);
    EXPECT_TRUE(filesIn(path("Plans/Log"), "*.log").empty());

    // Back: the journal names the log kept and goes; the log stays the only one.
    server->set(false);
    EXPECT_TRUE(TestSupport::eventually([&] { return filesIn(path("Plans/Log"), "*.journal").empty(); }, std::chrono::minutes(2)));
    model.reset();
    EXPECT_TRUE(filesIn(path("Plans/Log"), "*.log").empty());
    EXPECT_EQ(kept, filesIn(path("Log"), "*.log"));
    EXPECT_TRUE(TreatmentLog(home.path().toStdString()).recover({path("Plans/Log")}, {path("Patients")}).empty());
}
