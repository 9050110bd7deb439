#include "planning/io/saving/OriginLock.h"

#include "planning/io/PlanningFile.h"
#include "planning/io/saving/LockHolder.h"
#include "vexa/io/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

using HolderFile::Verdict;

constexpr char magic[] = "morvanta-origin-lock 1";
constexpr auto beatEvery = std::chrono::seconds(1);
constexpr auto pollEvery = std::chrono::milliseconds(50);

std::string contents(const LockHolder& holder, unsigned long beat)
{
    return std::string(magic) + "\n" + holder.lines() + std::to_string(beat) + "\n";
}

// Where no lock file can be made at all, there is no lock (rather than no save).
bool noLockCanBeMade(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || Vexa::AtomicFile::isDiskFull(error);
}

std::runtime_error failed(const std::string& what, const std::string& path, int error)
{
    // Its new file held by another at each try: over by now.
    if (error == EWOULDBLOCK)
        return std::runtime_error("The lock file " + path + " " + what + ": " + FolderHandle::whyNotMade(error) +
                                  ". Saving again is all it takes.");
    return std::runtime_error("The lock file " + path + " " + what + " (" + reasonOf(error) + ").");
}

}

// Rewrites the holder's beat every second while the lock is held, so that another computer can
// tell a live holder from one that died. A beat that cannot be written ends it: the holder is
// told (lost()), and never writes over a lock that another computer took meanwhile.
class OriginLock::Beat
{
public:
    // Throws std::system_error when the thread cannot start.
    Beat(const FolderHandle::File& file, LockHolder holder)
        : thread_([this, &file, holder] { run(file, holder); })
    {
    }
    ~Beat()
    {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    int error() const { return error_.load(std::memory_order_acquire); }

private:
    void run(const FolderHandle::File& file, const LockHolder& holder)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        for (unsigned long beat = 1; !wake_.wait_for(guard, beatEvery, [this] { return stop_; }); ++beat)
            if (const auto written = file.rewrite(contents(holder, beat)); !written.ok()) {
                error_.store(written.error(), std::memory_order_release);
                return;
            }
    }

    std::atomic<int> error_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// One look at the lock: taken (file_ holds it), or what is waited for.
struct OriginLock::Attempt
{
    bool taken = false;
    bool noLock = false;
    std::string waitFor;
};

// A gone holder's lock that only its owner may take over (HolderFile::onlyItsOwnerTakesOver):
// whose, why, and what frees it.
std::string ownersOnly(const std::string& where, const HolderFile::Look& found)
{
    const std::string owner = HolderFile::ownerOf(found);
    return where + " is the lock that a save of the user " + owner + " left when it ended, which this user cannot "
           "take over safely (" + HolderFile::whyUnsafe(found) + "). A start of the program as " + owner +
           " frees it, or removing that file";
}

OriginLock::Attempt OriginLock::attempt(const std::string& text, std::string& seen,
                                        std::chrono::steady_clock::time_point& seenSince)
{
    const std::string where = parent_.pathOf(name_);
    auto made = parent_.createWhole(name_, text);
    if (made.ok()) {
        file_ = std::move(*made);
        return {true, false, {}};
    }
    // Where no lock can be made here, one that is there still counts: a live holder's is waited
    // for, a gone one's taken over where it can be.
    if (made.error() != EEXIST && !noLockCanBeMade(made.error()))
        throw failed("cannot be made", where, made.error());
    auto found = HolderFile::look(parent_, name_, magic);
    if (!found.ok())
        throw failed("cannot be read", where, found.error());
    const auto takeOver = [&] {
        auto replaced = HolderFile::takeOver(parent_, name_, *found, text);
        if (!replaced.ok() && HolderFile::isRefused(replaced.error()))
            throw std::runtime_error("The planning cannot be saved over: " +
                                     HolderFile::notReplaceable(where, "the lock", *found, replaced.error()) + ".");
        if (!replaced.ok() && noLockCanBeMade(replaced.error()))
            return Attempt{false, true, {}};
        if (!replaced.ok())
            throw failed("cannot be replaced", where, replaced.error());
        // Taken over by another instance meanwhile: looked at again.
        if (replaced->taken == HolderFile::Taken::changed)
            return Attempt{};
        // Only its owner may take it over: waiting frees nothing.
        if (replaced->taken == HolderFile::Taken::unsafe && HolderFile::onlyItsOwnerTakesOver(*found))
            throw std::runtime_error("The planning cannot be saved over: " + ownersOnly(where, *found) +
                                     "; then save again.");
        // Not to be judged here: waited for as a live holder's.
        if (replaced->taken == HolderFile::Taken::unsafe)
            return Attempt{false, false,
                           "the lock " + where + " that a save left when it ended, which this user cannot take over "
                           "safely (" + HolderFile::whyUnsafe(*found) + ")"};
        file_ = std::move(replaced->file);
        return Attempt{true, false, {}};
    };
    // Every lock file this program makes has its text from the start (createWhole): an empty one
    // is no lock of its.
    if (found->lock != FolderHandle::File::Lock::held && found->text.empty() && found->verdict != Verdict::none) {
        found->verdict = Verdict::notOurs;
        found->thing = "an empty file";
    }
    switch (found->verdict) {
    case Verdict::none:
        // None where none can be made: no lock. Else its holder let go meanwhile: made anew at
        // the next look.
        return {false, made.error() != EEXIST, {}};
    case Verdict::notOurs:
        throw std::runtime_error("The planning cannot be saved over: " +
                                 HolderFile::inTheWay(where, found->thing, "the lock that lets saves of the planning take turns") +
                                 "; move it away, then save again.");
    case Verdict::gone:
        return takeOver();
    case Verdict::elsewhere: {
        // Another computer's: alive while it beats.
        const auto now = std::chrono::steady_clock::now();
        if (found->text != seen) {
            seen = found->text;
            seenSince = now;
        }
        if (now - seenSince >= stillBeat)
            return takeOver();
        return {false, false, "the save of this planning by " + found->holder->describe()};
    }
    default:
        return {false, false,
                found->holder ? "the save of this planning by " + found->holder->describe()
                              : "another instance's save of this planning"};
    }
}

OriginLock::OriginLock(const std::string& parentFolder, const std::string& origin,
                       const std::function<void(const std::string&)>& waiting, std::chrono::milliseconds patience)
{
    checkOrigin(origin);
    parent_ = FolderHandle::open(parentFolder, true);
    name_ = "." + origin + ".lock";
    if (!parent_) {
        if (parent_.isNoFolder())
            return; // no plannings there to take turns over
        throw std::runtime_error("The folder " + parentFolder + " cannot be opened (" + reasonOf(parent_.error()) +
                                 ").");
    }
    const std::string text = contents(LockHolder::self(), 0);
    const auto start = std::chrono::steady_clock::now();
    std::string told, seen;
    auto seenSince = start;
    for (;;) {
        const Attempt turn = attempt(text, seen, seenSince);
        if (turn.noLock)
            return;
        if (turn.taken) {
            startBeat();
            return;
        }
        if (!turn.waitFor.empty() && turn.waitFor != told) {
            told = turn.waitFor;
            if (waiting)
                waiting(told);
        }
        // A holder is told with its folder; a lock that names its path, without.
        if (std::chrono::steady_clock::now() - start > patience)
            throw std::runtime_error("Waited " + std::to_string(patience.count() / 1000) + " s for " +
                                     (told.empty() ? "the lock file " + parent_.pathOf(name_) : told) +
                                     (told.starts_with("the lock ") ? "" : " in " + parentFolder) + ".");
        std::this_thread::sleep_for(pollEvery);
    }
}

void OriginLock::startBeat()
{
    try {
        beat_ = std::make_unique<Beat>(file_, LockHolder::self());
    } catch (const std::system_error& e) {
        // Without its beat the lock would look dead to another computer, and stay held here:
        // given up at once.
        file_.removeFrom(parent_, name_);
        throw std::runtime_error("The lock of this planning cannot be kept: no thread can be started for it (" +
                                 std::string(e.what()) + ").");
    }
}

OriginLock::~OriginLock()
{
    release();
}

Answer<Done> OriginLock::lost() const
{
    if (const int error = beat_ ? beat_->error() : 0)
        return Failure{error};
    return Done{};
}

Answer<Done> OriginLock::release()
{
    beat_.reset();
    if (!file_.isOpen())
        return Done{};
    // Another computer takes over a lock whose beat stood still by a file of its own; one of an
    // earlier version took it over in the same file: that lock is not this one's to remove.
    const auto text = file_.readAll(4096);
    const auto holder = text.ok() ? LockHolder::named(*text, magic) : std::nullopt;
    if (!text.ok() || !holder || !holder->isThisProcess()) {
        file_.close();
        return text.ok() ? Answer<Done>(Done{}) : text.failure();
    }
    return file_.removeFrom(parent_, name_);
}

void OriginLock::checkOrigin(const std::string& origin)
{
    if (!PlanningFile::isFolderName(origin))
        throw std::runtime_error("The planning's origin \"" + origin + "\" is no folder name; no lock is taken for it.");
}

Answer<std::string> OriginLock::removeIfStale(const FolderHandle& folder, const std::string& name, bool* tellUser)
{
    const std::string where = folder.pathOf(name);
    // The temporary file a lock is made under goes as any temporary file of the program's: one
    // that is held, or empty and so new that its maker may not have locked it yet, stays.
    if (Vexa::AtomicFile::isTemporaryName(name)) {
        const auto removed = HolderFile::removeTemporary(folder, name);
        if (!removed.ok() && HolderFile::isRefused(removed.error()))
            return "left the temporary file " + where + " of a lock: this user cannot remove it (" +
                   reasonOf(removed.error()) + ")";
        if (!removed.ok())
            return removed.failure();
        return *removed ? "removed the temporary file " + where + " of a lock" : std::string();
    }
    auto found = HolderFile::look(folder, name, magic);
    if (!found.ok())
        return found.failure();
    if (found->verdict != Verdict::gone || found->text.empty())
        return std::string();
    // A lock that another instance may take over meanwhile goes only while it is the one judged:
    // taken over by a copy of itself (should its removal fail, it is a gone holder's as before),
    // which then goes. Only the start whose removal it was says so.
    auto taken = HolderFile::takeOver(folder, name, *found, found->text);
    if (taken.ok() && taken->taken == HolderFile::Taken::changed)
        return std::string();
    if (taken.ok() && taken->taken == HolderFile::Taken::unsafe && HolderFile::onlyItsOwnerTakesOver(*found)) {
        if (tellUser)
            *tellUser = true;
        return "Saves of the planning over it are refused at once: " + ownersOnly(where, *found) +
               ". Only a start of the program as that user can finish what a save of theirs left.";
    }
    if (taken.ok() && taken->taken == HolderFile::Taken::unsafe)
        return "left the stale lock " + where + ": this user cannot take it over safely (" +
               HolderFile::whyUnsafe(*found) + ")";
    bool removed = false;
    const Answer<Done> gone = taken.ok() ? taken->file.removeFrom(folder, name, &removed) : Answer<Done>(taken.failure());
    if (gone.ok() || gone.error() == ENOENT)
        return removed ? "removed the stale lock " + where : std::string();
    if (HolderFile::isRefused(gone.error()))
        return "left " + HolderFile::notReplaceable(where, "the lock", *found, gone.error());
    return "left the stale lock " + where + ": it could not be removed (" + reasonOf(gone.error()) + ")";
}
