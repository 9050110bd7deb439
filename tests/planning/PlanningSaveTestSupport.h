#pragma once
// Shared by the saving tests: plannings to save, program instances of their own (this test
// program once more, running DISABLED_SaveChild.Run) that save or start on them, and what they
// said.
#include "PlanningIoTestSupport.h"

#include "planning/io/DicomImport.h"
#include "planning/io/LoadedPlanning.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/io/saving/WorkMark.h"
#include "planning/model/ImplantManager.h"
#include "planning/objects/Implant.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/mesh/MeshFactory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace PlanningSaveTest {

namespace fs = std::filesystem;
using namespace PlanningIoTest;

// The Linux NFS client's rules, imitated in this process: a file open for reading alone is locked
// only shared (EBADF), no file is made without a name (EOPNOTSUPP), a removed file that is open
// here stays as ".nfs…" until it closes; with `exchanges` false, no two names are exchanged
// (EINVAL). nfsRule: the error of a call under them.
inline int nfsRule(FolderHandle::SystemCall call, bool exchanges)
{
    using Call = FolderHandle::SystemCall;
    return call == Call::lockReadOnly                  ? EBADF
           : call == Call::openNameless                ? EOPNOTSUPP
           : call == Call::exchange && !exchanges ? EINVAL
                                                       : 0;
}
// With a `gap`, a file this process makes under a temporary name stands that long before its next
// step on it, as the round trip of making it takes on a file server: unlocked before its maker
// locks it, and, for a start that reads the file server's clock by making one (FolderHandle::isNew),
// before that start reads its time (holding whatever it holds meanwhile). Steps on files others
// made are not held. With a `clock`, the file server's clock runs that much ahead of this
// computer's (behind where negative): every time it stamps on a file reads so (every process of a
// test takes the same, as computers sharing a server see its times alike).
inline void imitateNfs(bool exchanges, std::chrono::milliseconds gap = {}, std::chrono::seconds clock = {})
{
    using Call = FolderHandle::SystemCall;
    FolderHandle::imitateSillyRename(true);
    FolderHandle::setServerClockOffset(clock);
    // The temporary files this process made that have not had their next step yet.
    const auto made = std::make_shared<std::pair<std::mutex, std::set<std::string>>>();
    FolderHandle::setFaultInjector([exchanges, gap, made](Call call, const std::string& path) {
        if (gap.count() && Vexa::AtomicFile::isTemporaryName(fs::path(path).filename().string())) {
            std::unique_lock lock(made->first);
            std::error_code unknown;
            if (call == Call::open && !fs::exists(fs::symlink_status(path, unknown))) {
                made->second.insert(path);
            } else if ((call == Call::lock || call == Call::status) && made->second.erase(path)) {
                lock.unlock();
                std::this_thread::sleep_for(gap);
            }
        }
        return nfsRule(call, exchanges);
    });
}

// Ends imitateNfs.
inline void endNfs()
{
    FolderHandle::setFaultInjector({});
    FolderHandle::imitateSillyRename(false);
    FolderHandle::setServerClockOffset({});
}

// The round trip (ms) on a file server, for every process of the tables run under the NFS
// client's rules: what stands between making a file under a temporary name and its next step.
constexpr int roundTrip = 2;

// Children under the Linux NFS client's rules (imitateNfs; flock emulated by fcntl locks): an
// exclusive lock on a file open for reading alone is refused (EBADF), no file is made without a
// name, a removed file that is open stays as ".nfs…" until it closes; files are exchanged as on a
// local disk, or "without exchange", as NFS has it (EINVAL).
// With a `gap` (ms) between making a file under a temporary name and the next step on it, and the
// file server's `clock` (s) ahead of this computer's, behind where negative (imitateNfs).
struct NfsRule
{
    explicit NfsRule(const char* how = "1", int gap = 0, int clock = 0)
    {
        qputenv("MORVANTA_SAVE_NFS_LOCKS", how);
        qputenv("MORVANTA_SAVE_NFS_GAP", QByteArray::number(gap));
        qputenv("MORVANTA_SAVE_NFS_CLOCK", QByteArray::number(clock));
    }
    ~NfsRule()
    {
        qunsetenv("MORVANTA_SAVE_NFS_LOCKS");
        qunsetenv("MORVANTA_SAVE_NFS_GAP");
        qunsetenv("MORVANTA_SAVE_NFS_CLOCK");
    }
};

// A start that comes an hour after what it finds was left: the file system's clock reads so much
// later for what it judges by its age there.
inline StartRecovery::Report startAnHourLater(const std::string& patients, bool onServer, std::chrono::seconds clock = {})
{
    if (onServer)
        imitateNfs(false, {}, clock);
    FolderHandle::setClockAhead(std::chrono::hours(1));
    StartRecovery::Report report = StartRecovery::finishInterrupted({patients});
    FolderHandle::setClockAhead({});
    endNfs();
    return report;
}

// Saves the planning into a folder reserved below `parent`, as the main window does (for an
// overwrite, the loaded folder's parent); the error text.
inline std::string save(Session& s, const std::string& parent, bool overwrite)
{
    try {
        PlanningWriter writer(PlanningWriter::reserveFile(parent), s.model, s.settings, overwrite);
        writer.start();
        return writer.getErrorMessage();
    } catch (const std::exception& e) {
        return PlanningWriter::failureText(e.what(), LoadedPlanning(*s.settings).folder());
    }
}

// Six images of the sample patient with two implants and a 3D model, saved as new below
// `patients` with a recording and a picture; its folder.
inline std::string makePlanning(const std::string& patients)
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

// The files of two snapshots that differ (in either), without their bytes.
inline std::set<std::string> changed(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::set<std::string> names;
    for (const auto& [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}})
        for (const auto& [name, bytes] : *from)
            if (const auto it = to->find(name); it == to->end() || it->second != bytes)
                names.insert(name);
    return names;
}

// The entries of the folder; those anywhere below it that are hidden (leftovers of saving).
inline std::set<std::string> entries(const std::string& folder, bool hiddenBelow = false)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (hiddenBelow ? entry.path().filename().string().front() == '.' : entry.path().parent_path() == folder)
            names.insert(fs::relative(entry.path(), folder).string());
    return names;
}

inline std::string load(Session& s, const std::string& folder)
{
    PlanningReader reader(folder + "/" + PlanningFinder::planningIn(folder), s.model, s.settings, s.manager);
    reader.start();
    return reader.getErrorMessage();
}

// A program instance that takes the origin lock of `planning` ("lock") or the mark of its folder
// ("mark") and says so: "holds", or "not taken: <why>" for a mark, "waits for <what>" while it
// waits for the lock, and "refused <why>" where the lock is refused. It holds what it took until a line on its input, then lets go and says
// "ended".
inline void takeAndHold(const std::string& what, const std::string& planning)
{
    const auto say = [](const std::string& word) { std::cout << "@@ " << word << std::endl; };
    std::unique_ptr<OriginLock> lock;
    if (what == "lock")
        try {
            lock = std::make_unique<OriginLock>(fs::path(planning).parent_path().string(),
                                                fs::path(planning).filename().string(),
                                                [&](const std::string& awaited) { say("waits for " + awaited); });
        } catch (const std::exception& e) {
            return say("refused " + std::string(e.what()));
        }
    auto taking = what == "mark" ? WorkMark::take(FolderHandle::open(planning, true), false) : WorkMark::Taking();
    ASSERT_TRUE(taking.ok()) << reasonOf(taking.error());
    say(lock || taking->mark ? "holds" : "not taken: " + taking->why);
    std::string go;
    std::getline(std::cin, go);
    lock.reset();
    taking->mark.reset();
    say("ended");
}

// This test program once more, running only DISABLED_SaveChild.Run on the planning (`action`
// "overwrite", "new" or "start"); `wrapper` (strace) runs it when given. A child that is to `wait`
// says "@@ ready" once it has loaded, and goes on at a line on its input (Tracer). With `noLocks`,
// the child's file system takes no locks.
inline void startChild(QProcess& child, const QString& action, const std::string& planning, QStringList wrapper = {},
                bool wait = false, const std::string& carry = {}, bool noLocks = false)
{
    auto env = QProcessEnvironment::systemEnvironment();
    if (noLocks)
        env.insert("MORVANTA_SAVE_NO_LOCKS", "1");
    // It opens no window: no display, whose authority another user or host name may not have.
    env.insert("MORVANTA_TEST_WITHOUT_GUI", "1");
    // What a killed child leaves in its temporary folders goes with this program's, whoever it runs as.
    static const TestSupport::ScratchDir temporary;
    fs::permissions(temporary.path(), fs::perms::all | fs::perms::sticky_bit);
    env.insert("TMPDIR", temporary.qpath());
    env.insert("MORVANTA_SAVE_CHILD", action);
    env.insert("MORVANTA_SAVE_PLANNING", QString::fromStdString(planning));
    if (!carry.empty())
        env.insert("MORVANTA_SAVE_CARRY", QString::fromStdString(carry));
    if (wait)
        env.insert("MORVANTA_SAVE_WAIT", "1");
    child.setProcessEnvironment(env);
    wrapper << QCoreApplication::applicationFilePath() << "--gtest_also_run_disabled_tests"
            << "--gtest_filter=DISABLED_SaveChild.Run" << "--gtest_brief=1";
    child.start(wrapper.takeFirst(), wrapper);
    ASSERT_TRUE(child.waitForStarted());
    for (QByteArray line; wait && line.trimmed() != "@@ ready";) {
        if (child.canReadLine())
            line = child.readLine();
        else
            ASSERT_TRUE(child.waitForReadyRead(120000)) << "the child is ready";
    }
}

// Why a test whose children run under strace (and, with `asAnotherComputer`, in namespaces of
// their own) cannot run here; empty when it can.
inline std::string missingTools(bool asAnotherComputer)
{
    if (QProcess::execute("strace", {"-V"}) != 0)
        return "strace is missing (scripts/install-deps)";
    if (asAnotherComputer && QProcess::execute("unshare", {"--mount", "--uts", "true"}) != 0)
        return "no namespaces of its own for another computer here";
    return {};
}

// A wrapper that runs the child as another computer would (a host name and, with `newMachine`,
// a machine id of its own) on the same patient folder, or as this one under a new host name.
inline QStringList asComputer(bool newMachine)
{
    QString script = "hostname elsewhere || exit 3; ";
    if (newMachine)
        script += "id=$(mktemp) && echo 0123456789abcdef0123456789abcdef > $id || exit 3; "
                  "for f in /etc/machine-id /var/lib/dbus/machine-id; do "
                  "[ -e $f ] && { mount --bind $id $f || exit 3; }; done; ";
    return {"unshare", "--mount", "--uts", "sh", "-c", script + "exec \"$@\"", "sh"};
}

// Every computer's copy of `from` at `to`, with the files' times and links a record knows them by.
inline void copyAsIs(const std::string& from, const std::string& to)
{
    fs::remove_all(to);
    ASSERT_EQ(QProcess::execute("cp", {"-a", QString::fromStdString(from), QString::fromStdString(to)}), 0);
}

// Two users of one group, as the workstations of a practice are: each its own account, the patient
// folder the group's.
constexpr int groupOfUsers = 52000;
constexpr int firstUser = 52001, secondUser = 52002;

// A wrapper that runs the child as `user` of that group alone, with the umask given.
inline QStringList asUser(int user, const char* umask)
{
    return {"setpriv", "--reuid=" + QString::number(user), "--regid=" + QString::number(groupOfUsers), "--clear-groups",
            "sh", "-c", QString("umask %1 && exec \"$@\"").arg(umask), "sh"};
}

// The plannings every computer lists below the patient folder (hidden folders and links left out).
inline std::vector<std::string> listed(const std::string& patients)
{
    std::vector<std::string> found;
    for (const std::string& name : entries(patients))
        if (name.front() != '.' && fs::is_directory(fs::symlink_status(patients + "/" + name)) &&
            !PlanningFinder::planningIn(patients + "/" + name).empty())
            found.push_back(patients + "/" + name);
    return found;
}

// What a child said last, and how it ended: a failed comparison shows the child's exit and what it
// wrote, so that a child that died tells why.
struct Said : std::string
{
    std::string how;
};

inline void PrintTo(const Said& said, std::ostream* out)
{
    *out << ::testing::PrintToString(static_cast<const std::string&>(said)) << "\n" << said.how;
}

}

// The text a child's word is compared with is shown as text, as beside a std::string.
template<>
class testing::internal::FormatForComparison<const char*, PlanningSaveTest::Said>
    : public testing::internal::FormatForComparison<const char*, std::string>
{};

namespace PlanningSaveTest {

// What the child said last once it ended ("saved <folder>", "refused <text>"); "" when killed.
// With `notes`, what the save said besides ("note <text>").
inline Said said(QProcess& child, std::vector<std::string>* notes = nullptr)
{
    child.waitForFinished(-1);
    Said last;
    QString rest;
    for (const QString& line : QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n'))
        if (line.startsWith("@@ note ") && notes)
            notes->push_back(line.mid(8).trimmed().replace("\\n", "\n").toStdString());
        else if (line.startsWith("@@ "))
            last.assign(line.mid(3).trimmed().toStdString());
        else if (!line.trimmed().isEmpty())
            rest += line + '\n';
    const int code = child.exitCode();
    const std::string end = child.exitStatus() == QProcess::CrashExit
                                ? "was killed by signal " + std::to_string(code) + " (" + strsignal(code) + ")"
                                : "ended with exit code " + std::to_string(code);
    last.how = "the child " + (child.program() + ' ' + child.arguments().join(' ')).toStdString() + "\n" + end +
               "; its standard error:\n" + QString::fromLocal8Bit(child.readAllStandardError()).toStdString() +
               "its other output:\n" + (rest.isEmpty() ? "(none)" : rest.toStdString());
    return last;
}

// Whether the condition comes to hold within two minutes.
template<class Condition>
inline bool until(Condition condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < 120000)
        QThread::msleep(5);
    return condition();
}

// strace attached to a waiting child, which it lets go on: writes down each `call` (and `alsoSeen`)
// the child makes on `path` (on anything without one); with `hold`, holds the first `call` at its
// entry until the tracer goes.
class Tracer
{
public:
    Tracer(QProcess& child, const QString& call, const std::string& path, bool hold, const QString& alsoSeen = {})
    {
        QStringList args{"-qq", "-f", "-o", QString::fromStdString(out_), "-e",
                         "trace=" + call + (alsoSeen.isEmpty() ? "" : "," + alsoSeen), "-p",
                         QString::number(child.processId())};
        if (!path.empty())
            args << "-P" << QString::fromStdString(path);
        if (hold)
            args << "-e" << "inject=" + call + ":delay_enter=3600000000:when=1";
        strace_.start("strace", args);
        const std::string status = "/proc/" + std::to_string(child.processId()) + "/status";
        EXPECT_TRUE(until([&] { return readBytes(status).find("TracerPid:\t0\n") == std::string::npos; }));
        child.write("go\n");
        EXPECT_TRUE(child.waitForBytesWritten());
    }
    // strace holds a call until its time is up: it goes, and the call with it.
    ~Tracer()
    {
        strace_.kill();
        strace_.waitForFinished();
    }
    // Waits for `times` calls whose lines hold the text.
    bool saw(const std::string& text, int times = 1) const
    {
        return until([&] { return count(text) >= times; });
    }
    // The calls so far whose lines hold the text.
    int count(const std::string& text) const
    {
        const std::string calls = readBytes(out_);
        int found = 0;
        for (auto at = calls.find(text); at != std::string::npos; at = calls.find(text, at + 1))
            ++found;
        return found;
    }

private:
    TestSupport::ScratchDir dir_;
    std::string out_ = dir_.file("calls");
    QProcess strace_;
};

}
