// Two users of one group saving and starting in one patient folder, as the workstations of a
// practice do: each its own account, the patient folder the group's (setgid).
#include "PlanningSaveTestSupport.h"

#include "planning/io/saving/LockHolder.h"
#include "vexa/io/AtomicFile.h"

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace PlanningSaveTest;
namespace fs = std::filesystem;

namespace {

constexpr int group = groupOfUsers;
// The two users, and a third member of the group, whose files neither of them may write.
constexpr int owner = firstUser, member = secondUser, third = 52003;

// strace after the wrapper: kills the child at the first `call` on `path`.
QStringList killedAt(const QString& call, const std::string& path)
{
    return {"strace", "-f", "-qq", "-o", "/dev/null", "-P", QString::fromStdString(path), "-e", "trace=" + call,
            "-e", "inject=" + call + ":signal=KILL:when=1"};
}

// The patient folder the group's (setgid), holding a planning of the owner's with a letter of the
// user's, as the owner's program with `umask` would have left it; the planning's folder.
std::string groupsPlanning(const TestSupport::ScratchDir& work, const char* umask)
{
    const std::string patients = work.file("patients"), planning = makePlanning(patients);
    writeText(planning + "/letters/referral.pdf", "a letter");
    const bool shared = std::string(umask) == "002";
    const QString modes = QString("find '%1' -type d -exec chmod %2 {} + && find '%1' -type f -exec chmod %3 {} + && "
                                  "chmod 2775 '%1' && chown -R %4:%5 '%1' && chown root '%1'")
                              .arg(QString::fromStdString(patients), shared ? "2775" : "2755", shared ? "664" : "644")
                              .arg(owner)
                              .arg(group);
    EXPECT_EQ(QProcess::execute("sh", {"-c", modes}), 0);
    fs::permissions(work.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    return planning;
}

// Every file and folder below the planning made with `umask` (files 0666, folders 0777 before it).
void expectModes(const std::string& planning, const char* umask)
{
    const mode_t mask = mode_t(std::stoi(umask, nullptr, 8));
    for (const auto& entry : fs::recursive_directory_iterator(planning)) {
        struct stat status{};
        ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, (S_ISDIR(status.st_mode) ? 0777 : 0666) & ~mask) << entry.path();
    }
}

// After every case: one planning listed, that loads and holds the user's letter, with nothing
// hidden left beside or in it, made with the umask given; nothing said calls a mark or a lock
// unreadable.
void expectOneWholePlanning(const std::string& patients, const std::vector<std::string>& said, const char* umask)
{
    for (const std::string& text : said)
        for (const char* untrue : {"cannot be read", "could not read", "could not be read", "Permission denied"})
            EXPECT_EQ(text.find(untrue), std::string::npos) << text;
    const std::vector<std::string> plannings = listed(patients);
    ASSERT_EQ(plannings.size(), 1u);
    Session any;
    EXPECT_EQ(load(any, plannings.front()), "");
    EXPECT_EQ(readBytes(plannings.front() + "/letters/referral.pdf"), "a letter");
    EXPECT_EQ(entries(patients, true), std::set<std::string>{});
    expectModes(plannings.front(), umask);
}


// Two members meet what a dead save left: the second taker (the first is the owner), whose the
// dead file is, and its mode. The owner's own file is opened for writing and locked alone; a third
// member's, which neither may write, only shared.
struct Meeting
{
    int second, fileOwner, mode;
};
const Meeting meetings[] = {{owner, owner, 0664}, {member, third, 0644}};

// The origin lock or the mark (as the name says) of a save of this computer that died, at `path`.
void leaveDeadSavesFile(const std::string& path, const Meeting& meeting)
{
    LockHolder dead = LockHolder::self();
    dead.pid = 9999999;
    const bool lock = path.ends_with(".lock");
    writeText(path, (lock ? "morvanta-origin-lock 1\n" : "morvanta-work 1\n") + dead.lines() + (lock ? "0\n" : ""));
    ASSERT_EQ(::chown(path.c_str(), meeting.fileOwner, group), 0);
    fs::permissions(path, fs::perms(meeting.mode));
}

// The child's next word ("@@ <word>"); empty when it ends without one.
std::string nextWord(QProcess& child)
{
    while (child.canReadLine() || child.waitForReadyRead(120000))
        if (const QString line = QString::fromLocal8Bit(child.readLine()).trimmed(); line.startsWith("@@ "))
            return line.mid(3).toStdString();
    return {};
}

}

// With umask 002, what one member's save leaves is the other's as well: a save of the owner cut
// off after it published is finished by the member's start; the lock of an owner's save killed
// before it published is taken over by the member's overwrite; a live save of the owner is waited
// for by the member's overwrite, which then finds the planning saved again.
TEST(SavingByGroup, OneMembersSaveIsFinishedTakenOverOrWaitedForByTheOther)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    enum Case { cutAfterPublishing, killedBeforePublishing, alive };
    for (const Case meeting : {cutAfterPublishing, killedBeforePublishing, alive}) {
        SCOPED_TRACE(meeting);
        TestSupport::ScratchDir work;
        const std::string planning = groupsPlanning(work, "002"), patients = fs::path(planning).parent_path();
        const std::string lock = patients + "/." + fs::path(planning).filename().string() + ".lock";
        std::vector<std::string> said;
        QProcess owners, members;
        if (meeting == cutAfterPublishing) {
            startChild(owners, "overwrite", planning, asUser(owner, "002") + killedAt("renameat2", planning));
            ASSERT_EQ(PlanningSaveTest::said(owners), "");
        } else if (meeting == killedBeforePublishing) {
            // Its first rename in the patient folder publishes its planning.
            startChild(owners, "overwrite", planning, asUser(owner, "002") + killedAt("renameat", patients));
            ASSERT_EQ(PlanningSaveTest::said(owners), "");
            ASSERT_TRUE(fs::exists(lock));
            startChild(members, "overwrite", planning, asUser(member, "002"));
            const Said saved = PlanningSaveTest::said(members, &said);
            EXPECT_EQ(saved.rfind("saved ", 0), 0u) << ::testing::PrintToString(saved);
        } else {
            startChild(owners, "overwrite", planning, asUser(owner, "002"), true);
            {
                const Tracer movingIn(owners, "renameat2", planning, true);
                ASSERT_TRUE(movingIn.saw("renameat2("));
                startChild(members, "overwrite", planning, asUser(member, "002"), true);
                const Tracer looks(members, "openat", patients, false);
                EXPECT_TRUE(looks.saw(".lock", 3)) << "the member's overwrite waits for the lock";
            }
            const Said saved = PlanningSaveTest::said(owners), waited = PlanningSaveTest::said(members);
            EXPECT_EQ(saved.rfind("saved ", 0), 0u) << ::testing::PrintToString(saved);
            EXPECT_NE(waited.find("was saved again meanwhile"), std::string::npos) << ::testing::PrintToString(waited);
        }
        QProcess start;
        startChild(start, "start", patients, asUser(member, "002"));
        EXPECT_EQ(PlanningSaveTest::said(start, &said), "started");
        expectOneWholePlanning(patients, said, "002");
        if (::testing::Test::HasFailure())
            return;
    }
}

// With umask 022 the save makes what it makes 0644 (folders 0755), as ever. Another member's
// start leaves the owner's overwrite cut off after it published as it is, saying once whose it is
// and that this user cannot take it over, and the member's overwrite is refused, saying the same;
// the owner's next start finishes it, also where it meets another member's start looking at the
// mark (it waits for that one to let go). On a file server, where the cut save's marks and lock also
// keep their temporary names (which that member may not remove) and are locked only shared, the
// start says what is pending and that only a start as the owner finishes it, at every start. On
// another computer, where the owner's cut save is not known to be over, the member's start goes
// on with the take-over as far as this user may, and says the same of the step refused: only a
// start as the owner goes on, and the member's saves over the planning are refused until then.
TEST(SavingByGroup, WithoutTheGroupsWriteAnotherMembersStartLeavesTheOwnersCutSaveAndSaysWhy)
{
    if (const std::string missing = missingTools(true); !missing.empty())
        GTEST_SKIP() << missing;
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const struct
    {
        const char* where;
        bool onServer, elsewhere; // the member on another computer (a machine id of its own)
    } rows[] = {{"on a local disk", false, false}, {"on a file server", true, false},
                {"on a local disk, the member on another computer", false, true}};
    for (const auto& [where, onServer, elsewhere] : rows) {
        SCOPED_TRACE(where);
        const std::optional<NfsRule> nfs = onServer ? std::optional<NfsRule>(std::in_place, "1", roundTrip) : std::nullopt;
        const QStringList asMember = (elsewhere ? asComputer(true) : QStringList()) + asUser(member, "022");
        TestSupport::ScratchDir work;
        const std::string planning = groupsPlanning(work, "022"), patients = fs::path(planning).parent_path();
        QProcess owners;
        startChild(owners, "overwrite", planning, asUser(owner, "022") + killedAt("renameat2", planning));
        ASSERT_EQ(said(owners), "");
        const std::vector<std::string> both = listed(patients);
        ASSERT_EQ(both.size(), 2u);
        const std::string replacing = both[0] == planning ? both[1] : both[0];
        expectModes(replacing, "022");
        const auto before = snapshot(planning), replacingBefore = snapshot(replacing);
        const std::string user = std::to_string(owner), lock = patients + "/." + fs::path(planning).filename().string() + ".lock";
        const std::string onlyShared = "which this user cannot take over safely (the file system locks this file only "
                                       "shared for this user, who may not write it)";
        const std::vector<std::string> pending =
            onServer ? std::vector<std::string>{"Saves of the planning over it are refused at once: " + lock +
                                                    " is the lock that a save of the user " + user + " left when it "
                                                    "ended, " + onlyShared + ". A start of the program as " + user +
                                                    " frees it, or removing that file. Only a start of the program as "
                                                    "that user can finish what a save of theirs left.",
                                                "The planning in " + replacing + " replaced the planning in " + planning +
                                                    ", whose files are to be taken over, but a save of the user " + user +
                                                    " that ended left its mark " + replacing + "/.morvanta-work, " +
                                                    onlyShared + ". Only a start of the program as that user can take "
                                                    "them over."}
                     : elsewhere ? std::vector<std::string>{"The planning in " + replacing + " replaced the planning in " +
                                                            planning + ", but taking its files over is not finished: the "
                                                            "empty folder " + replacing + "/system could not be removed "
                                                            "(Permission denied). Only a start of the program as the user " +
                                                            user + " can take them over; until then, saves of this user "
                                                            "over the planning in " + replacing + " are refused."}
                     : std::vector<std::string>{"The planning in " + replacing + " replaced the planning in " + planning +
                                                ", whose files are to be taken over, but " + replacing +
                                                "/.morvanta-work is the mark that a save of the user " + user +
                                                " left when it ended; this user cannot replace it (Permission denied). "
                                                "The next start of the program as that user takes them over."};
        // Every start of the member's says so, and changes nothing of either planning.
        for (int start = 0; start < 2; ++start) {
            QProcess members;
            startChild(members, "start", patients, asMember);
            std::vector<std::string> lines;
            ASSERT_EQ(said(members, &lines), "started");
            EXPECT_EQ(snapshot(planning), before);
            EXPECT_EQ(snapshot(replacing), replacingBefore);
            std::vector<std::string> told;
            for (const std::string& line : lines)
                if (line.rfind("told: ", 0) == 0)
                    told.push_back(line.substr(6));
            EXPECT_EQ(told, pending);
        }
        // An overwrite of the planning by the member is refused, saying so, before it publishes.
        QProcess overwrite;
        startChild(overwrite, "overwrite", replacing, asMember);
        // The child says it on one line, its line breaks as "\n".
        const QString refused = QString::fromStdString(PlanningWriter::failureText(
            onServer ? "The planning cannot be saved over: " + lock + " is the lock that a save of the user " + user +
                           " left when it ended, " + onlyShared + ". A start of the program as " + user +
                           " frees it, or removing that file; then save again."
            : elsewhere ? "The planning in " + replacing + " cannot be replaced by this user: its planning file " +
                              fs::path(replacing).filename().string() + ".srl cannot be removed (Permission denied)."
                        : "The planning in " + replacing + " cannot be replaced: " + replacing + "/.morvanta-work is the "
                          "mark that a save of the user " + user + " left when it ended; this user cannot replace it "
                          "(Permission denied).",
            replacing));
        EXPECT_EQ(said(overwrite), "refused " + QString(refused).replace("\n", "\\n").toStdString());
        EXPECT_EQ(listed(patients), both);
        EXPECT_EQ(snapshot(planning), before);
        EXPECT_EQ(snapshot(replacing), replacingBefore);

        // The owner's next start meets a member's start at the mark, which that one holds locked
        // while it looks (on a file server only shared): it waits until the member's lets go, and
        // finishes the save.
        QProcess looking, next;
        startChild(looking, "start", patients, asMember, true);
        {
            const Tracer looks(looking, "pread64", replacing + "/.morvanta-work", true);
            ASSERT_TRUE(looks.saw("pread64("));
            startChild(next, "start", patients, asUser(owner, "022"), true);
            const Tracer meets(next, "flock", replacing + "/.morvanta-work", false);
            EXPECT_TRUE(meets.saw("flock(", 2)) << "the owner's start tries the mark again";
        }
        EXPECT_EQ(said(looking), "started");
        std::vector<std::string> finished;
        EXPECT_EQ(said(next, &finished), "started");
        expectOneWholePlanning(patients, finished, "022");
        EXPECT_EQ(listed(patients), std::vector<std::string>{replacing});
        if (::testing::Test::HasFailure())
            return;
    }
}

// Under the NFS client's rule, two instances take the origin lock of a planning, or the mark of its
// folder, that a dead save left, at once: the owner's held at its take-over (the exchange) while
// the other takes it. One holds it; the other waits, told for what, and holds it once the first
// lets go (a lock), or leaves it (a mark, as for a save at work). Nothing hidden is left. A third
// member's, which both lock only shared, neither takes over (the lock is refused, the mark left),
// exchange or not: it stays as it is.
TEST(SavingByGroup, UnderTheNfsRuleADeadSavesLockOrMarkIsTakenByOneOfTwoAtOnce)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const NfsRule nfs("1", roundTrip);
    for (const std::string what : {"lock", "mark"})
        for (const Meeting& meeting : meetings) {
            SCOPED_TRACE(what + " of " + std::to_string(meeting.fileOwner));
            TestSupport::ScratchDir work;
            const std::string planning = groupsPlanning(work, "002"), patients = fs::path(planning).parent_path();
            const std::string in = what == "lock" ? patients : planning;
            leaveDeadSavesFile(what == "lock" ? in + "/." + fs::path(planning).filename().string() + ".lock"
                                              : in + "/.morvanta-work", meeting);
            QProcess first, second;
            std::string words[2];
            if (meeting.fileOwner == third) {
                const std::string file = readBytes(in + (what == "lock" ? "/." + fs::path(planning).filename().string() + ".lock"
                                                                        : "/.morvanta-work"));
                for (QProcess* taker : {&first, &second}) {
                    startChild(*taker, QString::fromStdString(what), planning,
                               asUser(taker == &first ? owner : meeting.second, "002"));
                    const std::string word = nextWord(*taker);
                    EXPECT_TRUE(word.starts_with(what == "lock" ? "refused The planning cannot be saved over: "
                                                                : "not taken: a save of the user " + std::to_string(third)))
                        << word;
                    taker->write("\n");
                    said(*taker);
                }
                EXPECT_EQ(readBytes(in + (what == "lock" ? "/." + fs::path(planning).filename().string() + ".lock"
                                                         : "/.morvanta-work")),
                          file);
                continue;
            }
            startChild(first, QString::fromStdString(what), planning, asUser(owner, "002"), true);
            {
                const Tracer held(first, "renameat2", in, true);
                ASSERT_TRUE(held.saw("RENAME_EXCHANGE"));
                startChild(second, QString::fromStdString(what), planning, asUser(meeting.second, "002"));
                words[1] = nextWord(second);
            }
            words[0] = nextWord(first);
            const std::string told = what == "lock" ? "waits for another instance's save of this planning"
                                                    : "not taken: a save is at work in it";
            EXPECT_EQ(std::multiset<std::string>(words, words + 2), (std::multiset<std::string>{"holds", told}));
            // The holder lets go; a waiting lock's taker then holds it.
            QProcess &holder = words[0] == "holds" ? first : second, &other = words[0] == "holds" ? second : first;
            holder.write("\n");
            EXPECT_EQ(said(holder), "ended");
            EXPECT_EQ(what == "lock" ? nextWord(other) : "holds", "holds");
            other.write("\n");
            EXPECT_EQ(said(other), "ended");
            EXPECT_EQ(entries(patients, true), std::set<std::string>{});
        }
}

// Under the NFS client's rule, two overwrites of one planning at once over the origin lock that a
// dead save left: the owner's held at its take-over of the lock (the exchange) while the other
// takes the lock and checks the planning (held then at its publishing) or waits for the lock; the
// owner's take-over goes on before the other publishes. One is saved; the other is refused, the
// planning saved again meanwhile; one whole planning is left. Over a third member's lock, which
// both lock only shared, both are refused at once, told whose it is.
TEST(SavingByGroup, UnderTheNfsRuleTwoOverwritesOverADeadSavesLockTakeTurns)
{
    if (const std::string missing = missingTools(false); !missing.empty())
        GTEST_SKIP() << missing;
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const NfsRule nfs("1", roundTrip);
    for (const Meeting& meeting : meetings) {
        SCOPED_TRACE("a lock of " + std::to_string(meeting.fileOwner));
        TestSupport::ScratchDir work;
        const std::string planning = groupsPlanning(work, "002"), patients = fs::path(planning).parent_path();
        const std::string lock = "." + fs::path(planning).filename().string() + ".lock";
        leaveDeadSavesFile(patients + "/" + lock, meeting);
        QProcess first, second;
        if (meeting.fileOwner == third) {
            for (QProcess* saver : {&first, &second}) {
                startChild(*saver, "overwrite", planning, asUser(saver == &first ? owner : meeting.second, "002"));
                const Said end = said(*saver);
                EXPECT_NE(end.find("is the lock that a save of the user " + std::to_string(third)), std::string::npos) << end;
            }
            EXPECT_EQ(listed(patients), std::vector<std::string>{planning});
            continue;
        }
        startChild(first, "overwrite", planning, asUser(owner, "002"), true);
        {
            std::optional<Tracer> held(std::in_place, first, "renameat2", patients, true);
            ASSERT_TRUE(held->saw("RENAME_EXCHANGE"));
            startChild(second, "overwrite", planning, asUser(meeting.second, "002"), true);
            const Tracer publishing(second, "renameat", patients, true, "openat");
            ASSERT_TRUE(until([&] { return publishing.count("renameat(") > 0 || publishing.count(lock + "\"") >= 3; }));
            held.reset();
            // The owner's take-over is through once its new file is no longer beside the lock.
            // Listed at the top alone: the saves' working folders below come and go meanwhile.
            EXPECT_TRUE(until([&] {
                std::error_code changing;
                for (fs::directory_iterator it(patients, changing), end; !changing && it != end; it.increment(changing))
                    if (it->path().filename().string().starts_with("." + lock + Vexa::AtomicFile::temporaryTag))
                        return false;
                return !changing;
            }));
        }
        Said ends[2] = {said(first), said(second)};
        if (ends[1].starts_with("saved "))
            std::swap(ends[0], ends[1]);
        EXPECT_EQ(ends[0].rfind("saved ", 0), 0u) << ::testing::PrintToString(ends[0]);
        EXPECT_NE(ends[1].find("was saved again meanwhile"), std::string::npos) << ::testing::PrintToString(ends[1]);
        expectOneWholePlanning(patients, {ends[0], ends[1]}, "002");
    }
}

// Under the NFS client's rule, where no file can be exchanged either (as NFS has it): the origin
// lock or the mark that a dead save left is taken over where it is the member's own (by a rename,
// under its lock held alone); a third member's, locked only shared, is refused at once (the lock)
// or left (the mark), naming that member and what frees it, and stays as it is; a start tells
// the user that only that member's start finishes it.
TEST(SavingByGroup, UnderTheNfsRuleWithoutExchangeOnlyADeadSavesFileLockedAloneIsTakenOver)
{
    if (QProcess::execute("setpriv", {"--reuid=" + QString::number(owner), "true"}) != 0)
        GTEST_SKIP() << "cannot run a process as another user here";
    const NfsRule nfs("without exchange", roundTrip);
    for (const std::string what : {"lock", "mark"})
        for (const Meeting& meeting : meetings) {
            SCOPED_TRACE(what + " of " + std::to_string(meeting.fileOwner));
            TestSupport::ScratchDir work;
            const std::string planning = groupsPlanning(work, "002"), patients = fs::path(planning).parent_path();
            const std::string file = what == "lock" ? patients + "/." + fs::path(planning).filename().string() + ".lock"
                                                    : planning + "/.morvanta-work";
            leaveDeadSavesFile(file, meeting);
            const std::string dead = readBytes(file);
            QProcess taker;
            startChild(taker, QString::fromStdString(what), planning, asUser(meeting.second, "002"));
            const std::string why = "which this user cannot take over safely (the file system locks this file only "
                                    "shared for this user, who may not write it)";
            const std::string user = std::to_string(third); // no name for that number here
            EXPECT_EQ(nextWord(taker),
                      meeting.fileOwner != third ? "holds"
                      : what == "lock" ? "refused The planning cannot be saved over: " + file + " is the lock that a save of "
                                         "the user " + user + " left when it ended, " + why + ". A start of the program "
                                         "as " + user + " frees it, or removing that file; then save again."
                                       : "not taken: a save of the user " + user + " that ended left its mark " + file +
                                             ", " + why);
            taker.write("\n");
            if (meeting.fileOwner != third) {
                EXPECT_EQ(said(taker), "ended");
                EXPECT_EQ(entries(patients, true), std::set<std::string>{});
                continue;
            }
            taker.kill();
            said(taker);
            EXPECT_EQ(readBytes(file), dead);
            if (what == "lock") {
                QProcess start;
                startChild(start, "start", patients, asUser(meeting.second, "002"));
                std::vector<std::string> told;
                ASSERT_EQ(said(start, &told), "started");
                const std::string tells = "told: Saves of the planning over it are refused at once: " + file;
                EXPECT_EQ(std::count_if(told.begin(), told.end(),
                                        [&](const std::string& line) {
                                            return line.starts_with(tells) &&
                                                   line.ends_with("Only a start of the program as that user can finish "
                                                                  "what a save of theirs left.");
                                        }),
                          1)
                    << ::testing::PrintToString(told);
                EXPECT_EQ(readBytes(file), dead);
            }
        }
}
