#include "planning/log/TreatmentLog.h"

#include "planning/log/DrillLog.h"
#include "planning/log/PlanningPlace.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/LockHolder.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/Reason.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

const char* jawName(Constants::Jaw jaw)
{
    return jaw == Constants::Mandible ? "UK" : "OK";
}

double degrees(double cosine)
{
    return std::acos(std::clamp(cosine, -1.0, 1.0)) * 180.0 / M_PI;
}

bool refused(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

// The folder `name` in `parent`, made (one level) where it is missing, and opened without
// following a link: a link put at its name takes nothing of the log, a "Log" that is a link is a
// folder that cannot take it. Invalid, with why in `cause` in the words of the step that failed.
FolderHandle openMade(const FolderHandle& parent, const std::string& name, std::string& cause)
{
    if (!parent) {
        cause = "the folder " + parent.path() + " cannot be opened (" + Vexa::reasonOf(parent.error()) + ")";
        return {};
    }
    if (const int made = parent.makeFolder(name).error(); made && made != EEXIST) {
        cause = "the folder " + name + (refused(made) ? " may not be made in " : " cannot be made in ") + parent.path() +
                " (" + Vexa::reasonOf(made) + ")";
        return {};
    }
    FolderHandle folder = parent.child(name);
    if (folder)
        return folder;
    if (folder.isNoFolder()) {
        const auto kind = parent.kind(name);
        cause = parent.pathOf(name) +
                (kind.ok() && *kind == FolderHandle::Kind::link ? " is a link, not a folder" : " is not a folder");
    } else {
        cause = "the folder " + parent.pathOf(name) + " cannot be opened (" + Vexa::reasonOf(folder.error()) + ")";
    }
    return {};
}

// The "Log" folder of the folder at `parent` (reached as the caller holds that path), made where
// missing; with `parents`, `parent` too and the folders above it.
FolderHandle logFolderIn(const std::string& parent, bool parents, std::string& cause)
{
    const FolderHandle at = parents ? FolderHandle::make(parent) : FolderHandle::open(parent, true);
    if (!at) {
        cause = "the folder " + at.path() + (parents ? " cannot be made (" : " cannot be opened (") +
                Vexa::reasonOf(at.error()) + ")";
        return {};
    }
    return openMade(at, "Log", cause);
}

// Why the file `name` could not be made whole in `folder`.
std::string cannotMake(const FolderHandle& folder, const std::string& name, int error)
{
    if (error == EEXIST)
        return "the name " + folder.pathOf(name) + " is taken";
    if (refused(error))
        return "no file may be made in " + folder.path() + " (" + Vexa::reasonOf(error) + ")";
    return folder.pathOf(name) + " cannot be written (" + Vexa::reasonOf(error) + ")";
}

// A new file "<time stamp><extension>" in `folder` holding `text`, made whole and locked before
// it has its name (FolderHandle::createWhole): nobody finds it unlocked or without its text.
// `tries` time stamps are tried where the name is taken; `naming` hears each name before it is
// tried. The file, with its name in `name`; else nothing, with why in `cause`.
std::optional<FolderHandle::File> createStamped(const FolderHandle& folder, const std::string& extension,
                                                const std::string& text, int tries, std::string& name, std::string& cause,
                                                const std::function<void(const std::string&)>& naming = {})
{
    for (int i = 0; i < tries; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the next try needs a new millisecond
        name = Utilities::getTimeStampName(Utilities::currentDateTime()) + extension;
        if (naming)
            naming(name);
        auto made = folder.createWhole(name, text);
        // Lines follow at its end: it was written in place, not through its position.
        if (made.ok() && ::lseek(made->descriptor(), 0, SEEK_END) >= 0)
            return std::move(*made);
        if (made.ok()) {
            cause = folder.pathOf(name) + " cannot be written (" + Vexa::reasonOf(errno) + ")";
            folder.removeFile(name);
            break;
        }
        cause = cannotMake(folder, name, made.error());
        if (made.error() != EEXIST)
            break;
        if (tries > 1)
            cause = "no free name for a file in " + folder.path();
    }
    name.clear();
    return std::nullopt;
}

// The tries of a journal's name before its folder is given up.
constexpr int journalNameTries = 49;

// More than a navigation writes into its journal: a day of it, 20 samples a second, each under
// 300 bytes with its lines (518,400,000 bytes). A larger one is no journal of this program's and
// is never read.
constexpr std::uintmax_t maxJournalBytes = std::uintmax_t(512) << 20;
std::atomic<std::uintmax_t> largestJournal{maxJournalBytes};

// A journal's last line may say where its lines went, written and synced before what it names has
// its name: "STORED <size> <hash> <path>", its log stored at that path with those bytes (as
// FolderHandle::contentKey tells them), or "MOVED <path>", the journal that took all of them over.
// A start only removes a journal whose last line names what is there: a kill between the two
// steps leaves one log of a surgery.
constexpr std::string_view storedMark = "STORED ", movedMark = "MOVED ";

std::string contentKey(const std::string& text)
{
    return std::to_string(text.size()) + " " +
           QCryptographicHash::hash(QByteArrayView(text), QCryptographicHash::Sha256).toHex().toStdString();
}

// Whether the file has holes, which a journal written line by line never has: its size says
// nothing of what it holds. Where the file system cannot say, a file far larger than its blocks.
bool isSparse(int fd, const struct stat& status)
{
    if (status.st_size == 0)
        return false;
    if (const off_t hole = ::lseek(fd, 0, SEEK_HOLE); hole >= 0)
        return hole < status.st_size;
    return status.st_blocks * 512 < status.st_size / 8;
}

// The user's own data folder for the program, as the desktop has it.
std::string userDataFolder()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    std::string base = xdg && xdg[0] == '/' ? xdg : std::string(home && home[0] ? home : "/") + "/.local/share";
    return base + "/Morvanta";
}

// What the user hears where no place takes the journal: `refused` names each place and why.
std::string noPlace(const std::vector<std::string>& refused)
{
    std::string why;
    for (const auto& refusal : refused)
        why += (why.empty() ? "" : "; nor ") + refusal;
    return "No place can take the treatment log: not " + why +
           ". What is logged is kept in memory only, and lost if the program ends before navigation ends; "
           "the end of navigation tries every place again.";
}

void record(const std::string& failure)
{
    Platform::outputDebugString(std::string("TreatmentLog: ") + failure + "\n");
}

// Removes the file at `path` while it is the file open as `fd` (and locked there); one that
// cannot go is emptied, so that no start makes a log of what another file holds.
void removeIfSame(int fd, const std::string& path)
{
    const std::filesystem::path at(path);
    const std::string name = at.filename().string();
    const FolderHandle folder = FolderHandle::open(at.parent_path().string(), true);
    const auto there = folder.status(name);
    struct stat own{};
    if (fd >= 0 && ::fstat(fd, &own) == 0 && there.ok() && there->st_dev == own.st_dev && there->st_ino == own.st_ino)
        if (const int error = folder.removeFile(name).error()) {
            record("cannot remove the journal " + path + ": " + Vexa::reasonOf(error) + "; it is emptied");
            if (::ftruncate(fd, 0) == 0)
                ::fsync(fd);
        }
}

}

// Where the worker found the planning; its turn is held while this lives.
struct TreatmentLog::Place
{
    bool planned = false;    // there is a planning file
    std::string folder;      // the folder that holds the planning; empty where none does
    std::string loadedFolder;
    std::unique_ptr<PlanningPlace> turn;
};

// A journal and its lines: until its place is settled, every line is kept in memory as well, so
// that the journal moved into the planning's folder has them all. Its file and state are guarded
// by its mutex, which the writer takes for each write and the worker while it moves or stores the
// journal: never the camera's tick, which only queues lines.
struct TreatmentLog::Journal
{
    std::mutex mutex;
    std::atomic<bool> ended{false};      // a new log began before this one was stored
    std::atomic<bool> handedOver{false}; // the log is stored next
    std::string at; // its folder, as the display names it; guarded by the side's linesMutex_
    FolderHandle::File file; // not open: none could be made, or it is closed
    std::string path;     // where it was made
    long long size = 0;   // bytes of whole lines in it
    bool failed = false;  // a write failed: it takes no more lines
    bool settled = false; // it stays where it is
    std::vector<std::string> refused; // why the places elsewhere did not take it, "<where>: <cause>"
    std::unique_ptr<Place> found; // where the look before the store found the planning
    std::string lines;    // every line until it is settled

    int fd() const { return file.descriptor(); }
    ~Journal() { close(true); }
    // Appends whole lines (the writer's); the text the user is to read where it no longer can.
    std::string append(const std::string& more)
    {
        if (!settled)
            lines += more;
        if (fd() < 0 || failed)
            return {};
        if (const auto written = file.writeAt(static_cast<std::uintmax_t>(size), more); !written.ok()) {
            // The journal keeps its whole lines; a later line would leave a gap, so none follows.
            failed = true;
            [[maybe_unused]] const int cut = ::ftruncate(fd(), size);
            return Vexa::AtomicFile::failureText(path, written.error()) +
                   " The treatment log goes on in memory and is written when navigation ends.";
        }
        size += static_cast<long long>(more.size());
        return {};
    }
    // A journal that stays is all there is of an unstored log: it reaches the disk.
    void close(bool keep)
    {
        if (!file.isOpen())
            return;
        if (keep)
            file.sync();
        file.close();
    }
    // Where it is now (a take-over may have moved its folder): its name in the folder it is in
    // now. Where the file system has no nameless files, the file was opened under its temporary
    // name, which the open file's path names.
    std::string where() const
    {
        char now[PATH_MAX];
        const ssize_t length =
            fd() < 0 ? -1 : ::readlink(("/proc/self/fd/" + std::to_string(fd())).c_str(), now, sizeof now - 1);
        if (length <= 0 || now[0] != '/')
            return path;
        return std::filesystem::path(std::string(now, static_cast<std::size_t>(length))).parent_path().string() + "/" +
               std::filesystem::path(path).filename().string();
    }
    // Appends the line that says where its lines went, on the disk; false, the line taken back,
    // where it cannot.
    bool mark(std::string_view kind, const std::string& what)
    {
        if (fd() < 0)
            return false;
        const std::string line = std::string(kind) + what + "\n";
        if (line.find('\n') == line.size() - 1 && file.writeAt(static_cast<std::uintmax_t>(size), line).ok() &&
            file.sync().ok())
            return true;
        unmark();
        return false;
    }
    void unmark() const
    {
        if (fd() >= 0 && ::ftruncate(fd(), size) == 0)
            file.sync();
    }
    // Removes it wherever it is now: a take-over of the planning's folder moves the "Log" folder,
    // the open journal in it, into the planning that replaces it. Only while that name is still
    // this very file, and while it is still locked here: nobody takes it for a dead one's
    // meanwhile. `logFolder`: where the log was stored.
    void remove(const std::string& logFolder) const
    {
        struct stat own{};
        if (fd() < 0 || ::fstat(fd(), &own) != 0 || own.st_nlink == 0)
            return;
        std::vector<std::string> places;
        places.push_back(where());
        places.push_back(path);
        places.push_back(logFolder + QFileInfo(QString::fromStdString(path)).fileName().toStdString());
        for (const std::string& place : places) {
            const std::filesystem::path at(place);
            const FolderHandle folder = FolderHandle::open(at.parent_path().string(), true);
            const std::string name = at.filename().string();
            const auto same = folder ? file.isAt(folder, name) : Answer<bool>(false);
            if (same.ok() && *same) {
                if (const int error = folder.removeFile(name).error()) {
                    // Emptied instead: a start makes no second log of a journal whose log is stored.
                    record("cannot remove the journal " + place + ": " + Vexa::reasonOf(error) + "; it is emptied");
                    if (::ftruncate(fd(), 0) == 0)
                        ::fsync(fd());
                }
                return;
            }
        }
    }
};

// A log handed to the worker to be stored: by the worker where it belongs, or, where the worker
// is held by a folder that does not answer, kept elsewhere in its stead (keepAside).
struct TreatmentLog::Handed
{
    std::string text;
    std::string planningFile;
    std::vector<std::string> patientPaths;
    std::mutex mutex;
    enum State { pending, storing, stored, keeping, kept } state = pending;
    std::string keptIn; // where it was kept elsewhere
    bool tried = false; // kept elsewhere, or tried to
};

TreatmentLog::TreatmentLog(std::string dataFolder, Report report, Report notice)
    : dataFolder_(std::move(dataFolder))
    , report_(std::move(report))
    , notice_(std::move(notice))
    , told_(std::make_shared<Told>())
    , toldMutex_(told_->mutex)
    , toldLeft_(told_->left)
    , side_(std::shared_ptr<TreatmentLog>(new TreatmentLog(dataFolder_, report_, notice_, told_, Side{})))
{
}

TreatmentLog::TreatmentLog(std::string dataFolder, Report report, Report notice, std::shared_ptr<Told> told, Side)
    : dataFolder_(std::move(dataFolder))
    , report_(std::move(report))
    , notice_(std::move(notice))
    , told_(std::move(told))
    , toldMutex_(told_->mutex)
    , toldLeft_(told_->left)
{
}

TreatmentLog::~TreatmentLog()
{
    if (!side_)
        return; // the side: its threads hold it while they run
    TreatmentLog& s = *side_;
    {
        std::lock_guard lock(s.workMutex_);
        s.ending_ = true;
        // What is left waits for another instance's save no longer than a quit would.
        const auto deadline = std::chrono::steady_clock::now() + PlanningPlace::patience;
        if (!s.deadline_ || deadline < *s.deadline_)
            s.deadline_ = deadline;
    }
    s.workChanged_.notify_all();
    // The worker leaves a job held by a folder that does not answer to the program's end.
    if (worker_.joinable())
        worker_.join();
    {
        std::lock_guard lock(s.linesMutex_);
        s.writerEnding_ = true;
    }
    s.linesChanged_.notify_all();
    // A writer whose lines have waited that long already is waited for no more.
    if (writer_ && (stall() || !writer_->waitFor(answerBound)))
        record("the journal's writer waits for a folder that does not answer; it is left to the program's end");
    writer_.reset();
}

std::vector<std::string> TreatmentLog::takeFailures()
{
    TreatmentLog& s = side();
    std::lock_guard lock(s.linesMutex_);
    return std::exchange(s.failures_, {});
}

void TreatmentLog::tell(const std::vector<std::string>& texts)
{
    if (texts.empty())
        return;
    for (const auto& text : texts)
        record(text);
    if (report_) {
        report_(texts);
        return;
    }
    TreatmentLog& s = side();
    std::lock_guard lock(s.linesMutex_);
    s.failures_.insert(s.failures_.end(), texts.begin(), texts.end());
}

void TreatmentLog::tellNotice(const std::vector<std::string>& texts)
{
    if (texts.empty() || !notice_)
        return tell(texts);
    for (const auto& text : texts)
        record(text);
    notice_(texts);
}

std::string TreatmentLog::programLogFolder() const
{
    return dataFolder_ + "/Log";
}

std::vector<TreatmentLog::Elsewhere> TreatmentLog::elsewhere(const std::vector<std::string>& patientPaths) const
{
    std::vector<Elsewhere> places{{programLogFolder(), "beside the program", "beside the program", false},
                                  {userDataFolder() + "/Log", "in the user's data folder", "into the user's data folder", true}};
    // Last, the study folder the group shares, where the study copy goes anyway.
    if (const std::string first = patientPaths.empty() ? std::string() : patientPaths.front();
        !first.empty() && QDir::isAbsolutePath(QString::fromStdString(first)))
        places.push_back({first + "/" + Constants::studyDummyFolder + "Log", "in the study folder", "into the study folder", true});
    return places;
}

namespace {

// " Nor can it go <where>: <cause>." for every refusal after the first.
std::string furtherRefusals(const std::vector<std::string>& refused)
{
    std::string said;
    for (std::size_t i = 1; i < refused.size(); ++i)
        said += " Nor can it go " + refused[i] + ".";
    return said;
}

}

std::string TreatmentLog::goesElsewhere(std::size_t index, const std::vector<std::string>& patientPaths,
                                        const std::string& journal) const
{
    const auto places = elsewhere(patientPaths);
    const Elsewhere& place = places.at(std::min(index, places.size() - 1));
    return "It goes " + (index == 0 ? "beside the program instead, into " : place.into + " instead, ") + place.folder +
           ": its journal " + journal + " now, the log when navigation ends.";
}

std::optional<FolderHandle::File> TreatmentLog::journalElsewhere(const std::string& lines,
                                                                 const std::vector<std::string>& patientPaths,
                                                                 std::string& path, std::vector<std::string>& refusals) const
{
    for (const auto& place : elsewhere(patientPaths)) {
        std::string cause, name;
        const FolderHandle folder =
            logFolderIn(std::filesystem::path(place.folder).parent_path().string(), place.parents, cause);
        auto made = folder ? createStamped(folder, ".journal", lines, journalNameTries, name, cause) : std::nullopt;
        if (made) {
            path = folder.pathOf(name);
            return made;
        }
        refusals.push_back(place.where + ": " + cause);
    }
    path.clear();
    return std::nullopt;
}

std::vector<std::string> TreatmentLog::keepElsewhere(const std::string& text, const std::vector<std::string>& patientPaths,
                                                     std::string& file, Journal* journal) const
{
    std::vector<std::string> refusals;
    for (const auto& place : elsewhere(patientPaths)) {
        std::string cause;
        const FolderHandle folder =
            logFolderIn(std::filesystem::path(place.folder).parent_path().string(), place.parents, cause);
        if (folder)
            cause = writeLog(folder, text, file, journal);
        if (cause.empty())
            return refusals;
        file.clear();
        refusals.push_back(place.where + ": " + cause);
    }
    return refusals;
}

std::string TreatmentLog::accuracyFile(Constants::Jaw jaw) const
{
    return dataFolder_ + "/Calibration" + jawName(jaw) + ".txt";
}

void TreatmentLog::addEntry(std::vector<ActionLogEntry>& entries, const QString& action)
{
    entries.emplace_back(action);
    std::ostringstream line;
    line << entries.back();
    journal(line.str());
}

void TreatmentLog::journal(const std::string& line)
{
    if (starting_) {
        *starting_ += line;
        return;
    }
    TreatmentLog& s = side();
    s.queue(nullptr, line);
}

void TreatmentLog::queue(const std::shared_ptr<Journal>& journal, const std::string& lines, bool close)
{
    {
        std::lock_guard lock(linesMutex_);
        const std::shared_ptr<Journal>& into = journal ? journal : journal_;
        if (!into)
            return;
        if (!lineQueue_.empty() && lineQueue_.back().journal == into && !lineQueue_.back().close) {
            lineQueue_.back().lines += lines;
            lineQueue_.back().close = close;
        } else {
            lineQueue_.push_back({into, lines, close, std::chrono::steady_clock::now(), std::time(nullptr)});
        }
    }
    linesChanged_.notify_all();
}

void TreatmentLog::startWriter()
{
    if (writer_)
        return;
    TreatmentLog& s = side();
    {
        std::lock_guard lock(s.linesMutex_);
        s.writerAlive_ = true;
    }
    try {
        writer_ = std::make_unique<Vexa::DetachableCall>([side = side_] { side->writeJournals(); });
    } catch (const std::system_error& e) {
        // Without a writer the journal takes no more lines; the log is still stored at the end.
        record(std::string("no thread for the journal's writer: ") + e.what());
        std::lock_guard lock(s.linesMutex_);
        s.writerAlive_ = false;
    }
}

void TreatmentLog::writeJournals()
{
    std::unique_lock lock(linesMutex_);
    for (;;) {
        linesChanged_.wait(lock, [this] { return !lineQueue_.empty() || writerEnding_; });
        if (lineQueue_.empty())
            break;
        Lines item = std::move(lineQueue_.front());
        lineQueue_.pop_front();
        inHand_ = InHand{item.journal.get(), item.since, item.sinceAt};
        lock.unlock();
        std::string failure;
        {
            std::lock_guard file(item.journal->mutex);
            failure = item.journal->append(item.lines);
            if (item.close)
                item.journal->close(true);
        }
        if (!failure.empty())
            tell({failure});
        lock.lock();
        inHand_.reset();
        linesChanged_.notify_all();
        // A journal let go of closes here, in this thread: its folder may not answer.
        lock.unlock();
        item = {};
        lock.lock();
    }
    // The journal being written stays, synced: it is all there is of a log not stored.
    auto last = std::exchange(journal_, nullptr);
    writerAlive_ = false;
    linesChanged_.notify_all();
    lock.unlock();
    if (last) {
        std::lock_guard file(last->mutex);
        last->close(true);
    }
}

void TreatmentLog::waitForWriter(const Journal& journal) const
{
    std::unique_lock lock(linesMutex_);
    linesChanged_.wait(lock, [&] {
        return !writerAlive_ || ((!inHand_ || inHand_->journal != &journal) &&
                                 std::none_of(lineQueue_.begin(), lineQueue_.end(),
                                              [&](const Lines& lines) { return lines.journal.get() == &journal; }));
    });
}

void TreatmentLog::flushJournal() const
{
    const TreatmentLog& s = side();
    std::unique_lock lock(s.linesMutex_);
    s.linesChanged_.wait(lock, [&] { return !s.writerAlive_ || (!s.inHand_ && s.lineQueue_.empty()); });
}

std::optional<TreatmentLog::Stall> TreatmentLog::stall() const
{
    const TreatmentLog& s = side();
    std::lock_guard lock(s.linesMutex_);
    const Journal* journal = nullptr;
    std::chrono::steady_clock::time_point since;
    std::time_t sinceAt = 0;
    if (s.inHand_) {
        journal = s.inHand_->journal;
        since = s.inHand_->since;
        sinceAt = s.inHand_->sinceAt;
    } else if (!s.lineQueue_.empty()) {
        journal = s.lineQueue_.front().journal.get();
        since = s.lineQueue_.front().since;
        sinceAt = s.lineQueue_.front().sinceAt;
    }
    if (!journal || std::chrono::steady_clock::now() - since < answerBound)
        return std::nullopt;
    return Stall{journal->at, sinceAt};
}

std::vector<std::string> TreatmentLog::start(const QString& patientName, const std::string& planningFile,
                                             const std::vector<ImplantPtr>& implants, Constants::Jaw jaw,
                                             std::shared_ptr<const Settings> planning) try
{
    std::vector<std::string> failures;
    // At once beside the program (else in the user's data folder): the look for the planning's
    // folder may wait for another instance, and the first entry must not. Its first lines are
    // composed before it is made: a place whose disk cannot take them is no place for it.
    TreatmentLog& s = side();
    startWriter();
    auto journal = std::make_shared<Journal>();
    std::shared_ptr<Journal> old;
    {
        std::lock_guard lock(s.linesMutex_);
        old = std::exchange(s.journal_, nullptr);
        if (old)
            old->ended = true;
        s.failures_.clear();
    }
    // Closed by the writer once it took the lines queued for it.
    if (old)
        s.queue(old, {}, true);
    std::string first;
    starting_ = &first;
    const std::shared_ptr<void> started(nullptr, [this](void*) { starting_ = nullptr; });
    treatmentEntries_.clear();
    addEntry(treatmentEntries_, "START TREATMENT");
    addEntry(treatmentEntries_, "PATIENT " + patientName);
    addEntry(treatmentEntries_, "FILE " + QString::fromStdString(planningFile));
    calibrationEntries_.clear();
    automatic_.clear();
    userDefined_.clear();
    for (const auto& implant : implants)
        automatic_.emplace(implant, DrillPositions(5.0f)).first->second.setLimit(static_cast<float>(implant->getLength()));
    loadJawCalibrationAccuracy(jaw);
    starting_ = nullptr;
    std::string path;
    std::vector<std::string> refused;
    const auto patientPaths = planning ? planning->getPatientPaths() : std::vector<std::string>();
    auto made = journalElsewhere(first, patientPaths, path, refused);
    const bool journaled = made.has_value();
    {
        // Nobody else knows of it yet: the lines composed are all there are.
        std::lock_guard lock(journal->mutex);
        if (made)
            journal->file = std::move(*made);
        journal->path = path;
        journal->size = static_cast<long long>(first.size());
        journal->refused = refused;
        journal->lines = first;
        if (planningFile.empty()) {
            journal->settled = true;
            journal->lines.clear();
        }
    }
    {
        std::lock_guard lock(s.linesMutex_);
        journal->at = std::filesystem::path(path).parent_path().string();
        s.journal_ = journal;
    }
    for (const auto& refusal : refused)
        record("no journal " + refusal);
    // A planning's log hears of its places once its own folder was looked at.
    if (planningFile.empty() && !refused.empty())
        failures.push_back(journaled ? "The treatment log cannot go " + refused.front() + "." +
                                           furtherRefusals(refused) + " " + goesElsewhere(refused.size(), patientPaths, path)
                                     : noPlace(refused));
    logging_ = true;
    if (!planningFile.empty())
        post([side = side_, journal, planningFile, planning] { side->settle(journal, planningFile, planning); });
    return failures;
}
VEXA_RETHROW

void TreatmentLog::logSample(const ImplantPtr& implant, const DrillDifference& sample) try
{
    window_.push_front(sample);
    if (window_.size() > windowSize)
        window_.pop_back();
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line << "SAMPLE " << sample.implantNumber << '\t' << sample << '\n';
    journal(line.str());
    const DrillDifference s = windowStatistics();
    if (s.implantNumber == -1 || !s.implant)
        return;
    auto table = automatic_.try_emplace(implant, DrillPositions(5.0f)).first;
    if (table->second.addDrillDifference(s, false)) {
        std::ostringstream added;
        added.imbue(std::locale::classic());
        added << "AUTO " << s.implantNumber << '\t' << s.date.toStdString() << ' ' << s.time.toStdString() << '\t'
              << s << '\n';
        journal(added.str());
    }
}
VEXA_RETHROW

void TreatmentLog::clearWindow()
{
    window_.clear();
}

DrillDifference TreatmentLog::windowStatistics() const
{
    return DrillLog::calculateDrillStatistics(std::vector<DrillDifference>(window_.begin(), window_.end()));
}

bool TreatmentLog::logUserDefinedState() try
{
    const DrillDifference s = windowStatistics();
    if (s.implantNumber == -1 || !s.implant)
        return false;
    userDefined_[s.implant].push_back(s);
    std::ostringstream added;
    added.imbue(std::locale::classic());
    added << "USER " << s.implantNumber << '\t' << s.date.toStdString() << ' ' << s.time.toStdString() << '\t' << s
          << '\n';
    journal(added.str());
    return true;
}
VEXA_RETHROW

void TreatmentLog::logCalibrationStart(bool manually, Constants::Jaw jaw) try
{
    addEntry(calibrationEntries_,
             QString("CALIBRATION ") + jawName(jaw) + (manually ? " MANUALLY " : " ") + "STARTED");
}
VEXA_RETHROW

std::vector<std::string> TreatmentLog::logCalibration(const Accuracy& before, const Accuracy& during,
                                                      const Accuracy& after, Constants::Jaw jaw) try
{
    const QString values = QString::asprintf("BC: u=%4.2f s=%4.2f DC: u=0.00 s=%4.2f AC: u=%4.2f s=%4.2f",
                                             before.first, before.second, during.second, after.first, after.second);
    addEntry(calibrationEntries_, QString("CALIBRATION ") + jawName(jaw) + " " + values);
    std::ostringstream line;
    line << calibrationEntries_.back();
    // The line is there whole or not at all: a cut one would spoil the next one appended.
    try {
        Vexa::AtomicFile::appendFile(accuracyFile(jaw), line.str());
    } catch (const std::exception& e) {
        const std::string failure = e.what();
        record(failure);
        return {failure};
    }
    return {};
}
VEXA_RETHROW

void TreatmentLog::logRegistration(double visualizedDrillLength) try
{
    addEntry(calibrationEntries_, "REGISTERED " + QString::number(visualizedDrillLength, 'g', 6));
}
VEXA_RETHROW

void TreatmentLog::loadJawCalibrationAccuracy(Constants::Jaw jaw) try
{
    const QString j = jawName(jaw);
    const QString k = "CALIBRATION " + j;
    QString text = "NO CALIBRATION VALUES " + j + " FOUND";
    std::ifstream in(accuracyFile(jaw), std::ios::binary);
    if (in) {
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The last line ended by a line break; a carriage return before it is not part of it.
        std::string last;
        const std::size_t end = content.rfind('\n');
        if (end != std::string::npos) {
            std::size_t begin = end == 0 ? std::string::npos : content.rfind('\n', end - 1);
            begin = begin == std::string::npos ? 0 : begin + 1;
            last = content.substr(begin, end - begin);
            if (!last.empty() && last.back() == '\r')
                last.pop_back();
        }
        const QString line = QString::fromStdString(last);
        if (!line.isEmpty() && line.size() <= 1023 && line.contains(k + " BC: u=")) {
            const int action = line.indexOf("ACTION");
            const QString p = action < 0 ? line : line.left(action);
            const int at = line.indexOf(k);
            text = k + " FROM " + p + "LOADED" + line.mid(at + k.size());
        } else if (!content.empty()) {
            record("the calibration accuracy file " + accuracyFile(jaw) + " has no readable last line; ignored");
        }
    }
    addEntry(calibrationEntries_, text);
}
VEXA_RETHROW

void TreatmentLog::write(std::ostream& out, const std::vector<ImplantPtr>& implants) const try
{
    if (!out)
        return;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(2);
    for (const auto& entry : treatmentEntries_)
        out << entry;
    out << "\n\nNUMBER OF IMPLANTS: " << implants.size() << "\n\n"
        << "PLANNED POSITION OF IMPLANTS RELATIV TO NAVIGATION BOW:\n";
    int i = 1;
    for (const auto& implant : implants) {
        const auto t = implant->getTransform();
        out << i++ << ": " << t[12] << ", " << t[13] << ", " << t[14] << " [mm] \tAngle X: " << degrees(t[0])
            << ", Angle Y: " << degrees(t[5]) << ", Angle Z: " << degrees(t[10]) << " [in Degree]\n";
    }
    out << "\n\n";
    for (const auto& entry : calibrationEntries_)
        out << entry;
    out << "\nPROTOCOL SLICES: " << 0.5 << " mm\n\n" << "MEASURED POSITION OF IMPLANTS IN DATASET\n\n";
    const DrillPositions noTable;
    const std::vector<DrillDifference> noList;
    auto tableOf = [&](const ImplantPtr& implant) -> const DrillPositions& {
        const auto it = automatic_.find(implant);
        return it == automatic_.end() ? noTable : it->second;
    };
    auto listOf = [&](const ImplantPtr& implant) -> const std::vector<DrillDifference>& {
        const auto it = userDefined_.find(implant);
        return it == userDefined_.end() ? noList : it->second;
    };
    i = 1;
    for (const auto& implant : implants) {
        DrillLog::writeLogStyle(out, tableOf(implant), i, true) << '\n';
        DrillLog::writeLogStyle(out, listOf(implant), i) << '\n';
        ++i;
    }
    out << "\n\n" << std::string(74, '=') << "\nFollowing data is an INTERNAL FORMAT@\n\n";
    out.unsetf(std::ios::fixed);
    out << std::setprecision(6) << implants.size() << std::endl;
    for (const auto& implant : implants) {
        out << '\n' << implant->getTransform() << '\n' << tableOf(implant);
        DrillLog::writeList(out, listOf(implant));
    }
}
VEXA_RETHROW

void TreatmentLog::store(const std::string& planningFile, const std::vector<std::string>& patientPaths,
                         const std::vector<ImplantPtr>& implants, std::shared_ptr<const Settings> planning) try
{
    std::ostringstream text;
    write(text, implants);
    window_.clear();
    logging_ = false;
    TreatmentLog& s = side();
    std::shared_ptr<Journal> journal;
    {
        std::lock_guard lock(s.linesMutex_);
        journal = std::exchange(s.journal_, nullptr);
        if (journal)
            journal->handedOver = true;
    }
    auto handed = std::make_shared<Handed>();
    handed->text = text.str();
    handed->planningFile = planningFile;
    handed->patientPaths = patientPaths;
    post([side = side_, handed, journal, planning] { side->storeText(*handed, journal, planning); }, handed);
}
VEXA_RETHROW

// ---- the worker -------------------------------------------------------------------------

void TreatmentLog::post(std::function<void()> job, std::shared_ptr<Handed> handed)
{
    TreatmentLog& s = side();
    std::unique_lock lock(s.workMutex_);
    s.jobs_.push_back({std::move(job), handed});
    if (handed)
        s.handed_.push_back(handed);
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([side = side_] { side->work(side); });
        } catch (const std::system_error& e) {
            // Without a thread the job is done here: a log is not lost for want of one.
            record(std::string("no thread for the treatment log's places: ") + e.what());
            auto here = std::move(s.jobs_.back());
            s.jobs_.pop_back();
            std::erase(s.handed_, handed);
            lock.unlock();
            here.run();
            return;
        }
    }
    s.workChanged_.notify_all();
}

void TreatmentLog::work(const std::shared_ptr<TreatmentLog>& self)
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(workMutex_);
    for (;;) {
        workChanged_.wait(lock, [this] { return !jobs_.empty() || ending_; });
        // Ending waits for every job handed over: each holds a log or its journal.
        if (jobs_.empty())
            return;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        working_ = true;
        heldSince_ = Clock::now();
        givenUp_ = false;
        lock.unlock();
        // Each job in a thread of its own, which owns what it touches: one held by a folder that
        // does not answer is left, and what it was to store is kept elsewhere meanwhile.
        std::unique_ptr<Vexa::DetachableCall> call;
        // What the job holds goes in its thread: a journal closed there may not answer.
        auto run = std::make_shared<std::function<void()>>(std::move(job.run));
        try {
            call = std::make_unique<Vexa::DetachableCall>([run] {
                const auto here = std::move(*run);
                here();
            });
        } catch (const std::system_error& e) {
            record(std::string("no thread for a job of the treatment log: ") + e.what());
        }
        const auto failed = [this](const char* what) {
            tell({std::string("The treatment log could not be put in its place") + (what ? std::string(": ") + what : ".")});
        };
        if (!call) {
            try {
                (*run)();
            } catch (const std::exception& e) {
                failed(e.what());
            } catch (...) {
                failed(nullptr);
            }
        }
        bool left = false;
        while (call && !call->waitFor(std::chrono::milliseconds(50))) {
            lock.lock();
            const auto held = heldSince_;
            const bool ending = ending_;
            lock.unlock();
            if (!held || Clock::now() - *held < answerBound)
                continue;
            keepHanded(self, *held);
            if (ending) {
                left = true;
                break;
            }
        }
        if (call && !left) {
            try {
                call->rethrow();
            } catch (const std::exception& e) {
                failed(e.what());
            } catch (...) {
                failed(nullptr);
            }
        }
        lock.lock();
        if (left) {
            // The program ends: what is still queued waits for the same folder. Its journals
            // close in a thread of their own.
            auto rest = std::make_shared<std::deque<Job>>(std::exchange(jobs_, {}));
            lock.unlock();
            call.reset();
            record("a job of the treatment log waits for a folder that does not answer; it is left to the program's end");
            try {
                const Vexa::DetachableCall drop([rest] { rest->clear(); });
                rest.reset();
            } catch (const std::system_error&) {
            }
            lock.lock();
            working_ = false;
            workChanged_.notify_all();
            return;
        }
        working_ = false;
        heldSince_.reset();
        givenUp_ = false;
        waitingFor_.clear();
        if (job.handed)
            std::erase(handed_, job.handed);
        workChanged_.notify_all();
    }
}

void TreatmentLog::keepHanded(const std::shared_ptr<TreatmentLog>& self, std::chrono::steady_clock::time_point heldSince)
{
    std::vector<std::shared_ptr<Handed>> open;
    {
        std::lock_guard lock(workMutex_);
        open = handed_;
    }
    for (const auto& handed : open) {
        {
            std::lock_guard lock(handed->mutex);
            if (handed->tried || (handed->state != Handed::pending && handed->state != Handed::storing))
                continue;
            handed->tried = true;
        }
        // Beside the program, which may lie on a file server as well: bounded too.
        try {
            Vexa::DetachableCall keep([self, handed, heldSince] { self->keepAside(*handed, heldSince); });
            if (!keep.waitFor(answerBound))
                record("the treatment log kept elsewhere waits for its folder as well");
        } catch (const std::system_error& e) {
            record(std::string("no thread to keep the treatment log elsewhere: ") + e.what());
        }
    }
    {
        std::lock_guard lock(workMutex_);
        givenUp_ = true;
    }
    workChanged_.notify_all();
}

void TreatmentLog::keepAside(Handed& handed, std::chrono::steady_clock::time_point heldSince)
{
    {
        std::lock_guard lock(handed.mutex);
        if (handed.state != Handed::pending && handed.state != Handed::storing)
            return;
        handed.state = Handed::keeping;
    }
    // Not the study folder: it lies with the patient folders.
    std::string file;
    const auto refused = keepElsewhere(handed.text, {}, file);
    {
        std::lock_guard lock(handed.mutex);
        // Where no place took it, the worker still stores it once its folder answers.
        handed.state = file.empty() ? Handed::pending : Handed::kept;
        handed.keptIn = file;
    }
    const auto since = std::time(nullptr) - std::chrono::duration_cast<std::chrono::seconds>(
                                                 std::chrono::steady_clock::now() - heldSince).count();
    const std::string when = QDateTime::fromSecsSinceEpoch(since).toString("HH:mm:ss").toStdString();
    const std::string lead =
        handed.planningFile.empty()
            ? "The treatment log waits for a folder that has not answered since " + when + "."
            : "The treatment log cannot go into the planning's folder " +
                  QFileInfo(QString::fromStdString(handed.planningFile)).absolutePath().toStdString() +
                  ": it has not answered since " + when + ".";
    std::string then;
    for (const auto& refusal : refused)
        then += (then.empty() ? " It cannot be kept " : "; nor ") + refusal;
    if (!then.empty())
        then += ".";
    if (file.empty())
        then += " It is stored once that folder answers, if the program still runs then.";
    else
        then += " It is kept " + std::string(file.rfind(FolderHandle::plainPath(programLogFolder()) + "/", 0) == 0
                                                 ? "beside the program"
                                                 : "in the user's data folder") +
                ", in " + file + ". Its journal goes once that folder answers.";
    tell({lead + then});
}

bool TreatmentLog::waitDone() const
{
    const bool worked = (!working_ && jobs_.empty()) || givenUp_;
    std::lock_guard lock(linesMutex_);
    const bool written = !writerAlive_ || (!inHand_ && lineQueue_.empty()) ||
                         (inHand_ && std::chrono::steady_clock::now() - inHand_->since >= answerBound);
    return worked && written;
}

namespace {

// The folder of the planning a journal's FILE entry names, found as a reload finds it: where that
// file is, else the planning that replaced it (another instance's save took its folder over);
// only below the patient folders. Empty where there is none.
// The folder `folder` below one of the patient folders, opened from that patient folder on
// without following a link; invalid where it lies below none.
FolderHandle openBelowPatients(const std::string& folder, const std::vector<std::string>& patientPaths)
{
    namespace fs = std::filesystem;
    for (const std::string& patients : patientPaths) {
        if (!fs::path(patients).is_absolute())
            continue;
        const fs::path relative = fs::path(FolderHandle::plainPath(folder)).lexically_relative(FolderHandle::plainPath(patients));
        if (!relative.empty() && relative != "." && *relative.begin() != "..")
            return FolderHandle::open(patients, true).child(relative.string());
    }
    return {};
}

// `failure`, where given, hears why the planning that replaced it could not be looked for.
std::string plannedFolder(const std::string& planningFile, const std::vector<std::string>& patientPaths,
                          std::string* failure = nullptr)
{
    namespace fs = std::filesystem;
    if (!fs::path(planningFile).is_absolute())
        return {};
    const fs::path file(FolderHandle::plainPath(planningFile));
    const fs::path folder = file.parent_path();
    const bool below = std::any_of(patientPaths.begin(), patientPaths.end(), [&](const std::string& patients) {
        if (!fs::path(patients).is_absolute())
            return false;
        const fs::path relative = folder.lexically_relative(FolderHandle::plainPath(patients));
        return !relative.empty() && relative != "." && *relative.begin() != "..";
    });
    if (!below)
        return {};
    const auto kind = FolderHandle::kindAt(file.string());
    if (kind.ok() && *kind == FolderHandle::Kind::file)
        return folder.string();
    if (!kind.ok() && failure)
        *failure = file.string() + " cannot be read (" + Vexa::reasonOf(kind.error()) + ")";
    try {
        return PlanningFinder::findByOrigin(patientPaths, folder.filename().string());
    } catch (const std::exception& e) {
        record(std::string("the planning of a journal is not looked for: ") + e.what());
        if (failure && failure->empty())
            *failure = e.what();
        return {};
    }
}

// Whether the file `name` in `folder` holds the first `size` bytes of the open journal and nothing
// else, compared a block at a time: a journal may be hundreds of megabytes, and its last line (a
// mark cut off, or one that names nothing) may never have gone into its log.
Answer<bool> holdsJournal(const FolderHandle& folder, const std::string& name, const FolderHandle::File& journal,
                          std::uintmax_t size)
{
    auto file = folder.openFile(name);
    if (!file.ok())
        return file.error() == ENOENT || file.error() == ELOOP ? Answer<bool>(false) : file.failure();
    const auto status = file->status();
    if (!status.ok())
        return status.failure();
    if (!S_ISREG(status->st_mode) || static_cast<std::uintmax_t>(status->st_size) != size)
        return false;
    constexpr std::size_t block = 1 << 20;
    for (std::uintmax_t at = 0; at < size; at += block) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uintmax_t>(size - at, block));
        const auto mine = journal.readAt(at, length);
        if (!mine.ok())
            return mine.failure();
        const auto theirs = file->readAt(at, length);
        if (!theirs.ok())
            return theirs.failure();
        if (*mine != *theirs)
            return false;
    }
    return true;
}

// The log of the journal `journalName` (open as `journal`, `size` bytes) in `logs`: its name
// follows from the journal's, so that a start never makes a second log of one journal. A log of
// that name with the journal's very bytes is found (`made` false); another file at it sends the
// log to the next name of the row. Its name, or the error.
Answer<std::string> logOf(const FolderHandle& logs, const std::string& journalName, const FolderHandle::File& journal,
                          std::uintmax_t size, bool& made, const std::function<bool()>& stop)
{
    const std::string stem = std::filesystem::path(journalName).stem().string();
    for (int n = 1; n <= 9; ++n) {
        const std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".log";
        for (int look = 0; look < 2; ++look) {
            const auto there = logs.status(name);
            if (!there.ok() && there.error() != ENOENT)
                return there.failure();
            if (!there.ok()) {
                auto copy = logs.createCopy(name, journal, size, stop);
                if (copy.ok()) {
                    made = true;
                    if (const int error = copy->finish().error())
                        record("a temporary name of " + logs.pathOf(name) + " stays: " + Vexa::reasonOf(error));
                    return name;
                }
                if (copy.error() != EEXIST)
                    return copy.failure();
                continue; // made meanwhile: looked at again
            }
            const auto same = holdsJournal(logs, name, journal, size);
            if (!same.ok())
                return same.failure();
            if (*same) {
                made = false;
                return name;
            }
            break;
        }
    }
    return Failure{EEXIST};
}

}

namespace {

// The temporary name a journal was made under where the file system has no nameless files: a
// killed program leaves it as a second name of its journal, which then goes (never the only name
// of a file, nor one a live program holds or another user's). Closed before the name goes: the NFS
// client keeps a name removed while its file is open as ".nfs…", which is one more name of it.
void removeSecondName(const FolderHandle& folder, const std::string& name)
{
    const auto entry = folder.status(name);
    if (!entry.ok() || !S_ISREG(entry->st_mode) || entry->st_nlink < 2 || entry->st_uid != ::geteuid())
        return;
    auto file = folder.openToLock(name);
    const auto lock = file.ok() ? file->lock() : Answer<FolderHandle::File::Lock>(file.failure());
    if (lock.ok() && (*lock == FolderHandle::File::Lock::taken || *lock == FolderHandle::File::Lock::shared))
        if (const auto at = file->isAt(folder, name); at.ok() && *at)
            if (const auto removed = file->removeFrom(folder, name); !removed.ok())
                record("the second name " + folder.pathOf(name) + " of a journal stays: " + Vexa::reasonOf(removed.error()));
}

// A temporary file of a journal's or a log's: a second name as above, else what a maker killed
// before the file had its name left (a journal then also stands at its old name, or never had a
// line of a surgery; a log's journal is still there). It goes as the saving's do: unless its
// maker lives.
void removeLeft(const FolderHandle& folder, const std::string& name)
{
    if (const auto entry = folder.status(name); entry.ok() && entry->st_nlink > 1 &&
                                                name.find(std::string(".journal") + Vexa::AtomicFile::temporaryTag) != std::string::npos)
        return removeSecondName(folder, name);
    const auto removed = HolderFile::removeTemporary(folder, name);
    if (!removed.ok())
        record("the temporary file " + folder.pathOf(name) + " stays: " + Vexa::reasonOf(removed.error()));
    else if (*removed)
        record("removed the temporary file " + folder.pathOf(name) + " a killed program left");
}

// A name the NFS client gives a file whose name was removed while the file was open here
// (".nfs" and hex digits): it goes once the client is done with the file.
bool isSillyName(const std::string& name)
{
    return name.size() > 4 && name.starts_with(".nfs") &&
           name.find_first_not_of("0123456789abcdefABCDEF", 4) == std::string::npos;
}

// How many of the names of the journal `name` (its status `own`) are its own beside that one: the
// ".nfs…" names of it in its folder, and the temporary name it was made under, which goes now (it
// is locked here). Any other name, a link put elsewhere or beside it, is another file's.
nlink_t namesOfItsOwn(const FolderHandle& folder, const std::string& name, const struct stat& own)
{
    const auto names = folder.entries();
    if (!names.ok())
        return 0;
    const std::string madeAs = "." + name + Vexa::AtomicFile::temporaryTag;
    nlink_t count = 0;
    for (const std::string& other : *names) {
        const bool silly = isSillyName(other);
        if (!silly && !(Vexa::AtomicFile::isTemporaryName(other) && other.starts_with(madeAs)))
            continue;
        const auto status = folder.status(other);
        if (!status.ok() || status->st_dev != own.st_dev || status->st_ino != own.st_ino)
            continue;
        if (silly || folder.removeFile(other).ok())
            ++count;
    }
    return count;
}

// Whether the stem is a name this program gives its journals and logs: a time stamp
// ("yyyy-MM-dd__hh-mm-ss-" and the milliseconds).
bool isStampName(const std::string& stem)
{
    static const std::string shape = "dddd-dd-dd__dd-dd-dd-";
    if (stem.size() <= shape.size() || stem.size() > shape.size() + 3)
        return false;
    for (std::size_t i = 0; i < stem.size(); ++i) {
        const bool digit = stem[i] >= '0' && stem[i] <= '9';
        if (i < shape.size() ? (shape[i] == 'd' ? !digit : stem[i] != shape[i]) : !digit)
            return false;
    }
    return true;
}

// "<size> <hash>" of the first `size` bytes of the open file, as FolderHandle::contentKey tells a
// file's, read a block at a time: a log may be hundreds of megabytes. Empty where the file is
// shorter by now.
Answer<std::string> contentKeyOf(const FolderHandle::File& file, std::uintmax_t size)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (std::uintmax_t at = 0; at < size;) {
        const auto block = file.readAt(at, static_cast<std::size_t>(std::min<std::uintmax_t>(size - at, 1 << 20)));
        if (!block.ok())
            return block.failure();
        if (block->empty())
            return std::string();
        hash.addData(QByteArrayView(block->data(), static_cast<qsizetype>(block->size())));
        at += block->size();
    }
    return std::to_string(size) + " " + hash.result().toHex().toStdString();
}

// The end of the journal `file` (`size` bytes) as a start reads it: where its lines end (`end`),
// a last line that was cut short as it was written left out where it is the beginning of a mark
// (a kill in the middle of that write); the last of those lines where it says where the journal's
// lines went (storedMark, movedMark), without its line break, and where it begins (`markAt`).
struct Tail
{
    int error = 0; // its end could not be read
    std::uintmax_t end = 0;
    std::string mark;
    std::uintmax_t markAt = 0;
};

Tail tailOf(const FolderHandle::File& file, std::uintmax_t size)
{
    Tail tail;
    tail.end = size;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uintmax_t>(size, PATH_MAX + 200));
    const auto bytes = file.readAt(size - length, length);
    if (!bytes.ok() || bytes->size() != length) {
        tail.error = bytes.ok() ? EIO : bytes.error(); // shorter than it was a moment ago
        return tail;
    }
    if (length == 0)
        return tail;
    const auto marks = [](std::string_view line) {
        for (const std::string_view kind : {storedMark, movedMark})
            if (line.starts_with(kind) || (!line.empty() && kind.starts_with(line)))
                return true;
        return false;
    };
    std::size_t whole = length; // the bytes of whole lines in `bytes`
    if (bytes->back() != '\n') {
        const std::size_t lineEnd = bytes->rfind('\n');
        if (lineEnd == std::string::npos && length < size)
            return tail;
        whole = lineEnd == std::string::npos ? 0 : lineEnd + 1;
        if (!marks(std::string_view(*bytes).substr(whole)))
            return tail;
        tail.end = size - (length - whole);
    }
    if (whole < 2)
        return tail;
    const std::size_t before = bytes->rfind('\n', whole - 2);
    if (before == std::string::npos && length < size)
        return tail;
    const std::size_t begin = before == std::string::npos ? 0 : before + 1;
    const std::string line = bytes->substr(begin, whole - 1 - begin);
    if (!line.starts_with(storedMark) && !line.starts_with(movedMark))
        return tail;
    tail.mark = line;
    tail.markAt = tail.end - (whole - begin);
    return tail;
}

// What a start found of what a journal's mark names.
struct Judged
{
    enum Verdict { holds, notThere, unknown } verdict = notThere;
    std::string why; // unknown: "<path> cannot be read (<reason>)", or why its planning cannot be looked for
    std::string named; // the path the mark names
};

// Whether the file `name` in `place` is what a mark of the journal (its status `journal`, its
// first line `first`) names: a regular file other than the journal that begins as the journal
// does (a log or journal of the same start, to the second), with the size and hash `key` where
// one is given.
Answer<bool> isNamed(const FolderHandle& place, const std::string& name, const struct stat& journal,
                     const std::string& first, const std::string& key)
{
    const std::string path = place.pathOf(name);
    const auto status = place.status(name);
    if (!status.ok())
        return status.error() == ENOENT ? Answer<bool>(false) : Answer<bool>(Failure{status.error(), path});
    if (!S_ISREG(status->st_mode) || (status->st_dev == journal.st_dev && status->st_ino == journal.st_ino) ||
        (!key.empty() && key.substr(0, key.find(' ')) != std::to_string(status->st_size)))
        return false;
    auto file = place.openFile(name);
    if (!file.ok())
        return file.error() == ENOENT || file.error() == ELOOP ? Answer<bool>(false) : Answer<bool>(Failure{file.error(), path});
    const auto head = file->readAt(0, first.size());
    if (!head.ok())
        return Failure{head.error(), path};
    if (*head != first)
        return false;
    if (key.empty())
        return true;
    const auto there = contentKeyOf(*file, static_cast<std::uintmax_t>(status->st_size));
    if (!there.ok())
        return Failure{there.error(), path};
    return *there == key;
}

// Judges the mark of the journal in `own` (its status `journal`, its first line `first`). A mark
// counts only where it names a log ("STORED", with its size and hash) or a journal ("MOVED", or
// the log a start made of that one) of a time-stamp name that begins as the journal does, and
// only where that is found in the journal's own "Log" folder, in the "Log" folder of its planning
// where that is now (`planningLog`: an overwrite moves it, the journal and the log it names with
// it, into the planning that replaced it; invalid where there is none, `why` set where that cannot
// be told), or in the place elsewhere it names among `elsewhere` (where a log goes that its
// planning's folder cannot take). The folder it names is not taken at its word: a mark names
// nothing anywhere else. An error in any look is no answer.
Judged judgeMark(const std::string& mark, const FolderHandle& own, const struct stat& journal, const std::string& first,
                 const std::vector<std::string>& elsewhere, const std::function<FolderHandle(std::string& why)>& planningLog)
{
    Judged judged;
    const bool stored = mark.starts_with(storedMark);
    std::string rest = mark.substr(stored ? storedMark.size() : movedMark.size()), key;
    if (stored) {
        const std::size_t afterSize = rest.find(' '), afterHash = afterSize == std::string::npos ? afterSize : rest.find(' ', afterSize + 1);
        if (afterSize == 0 || afterHash == std::string::npos ||
            rest.find_first_not_of("0123456789") != afterSize || afterHash - afterSize - 1 != 64 ||
            rest.find_first_not_of("0123456789abcdef", afterSize + 1) != afterHash)
            return judged;
        key = rest.substr(0, afterHash);
        rest = rest.substr(afterHash + 1);
    }
    judged.named = rest;
    const std::filesystem::path at(rest);
    const std::string stem = at.stem().string();
    if (first.empty() || !at.is_absolute() || at.extension() != (stored ? ".log" : ".journal") || !isStampName(stem))
        return judged;
    // A journal's lines may have gone on into the log a start made of it, under the name that
    // follows from its own (logOf).
    std::vector<std::string> names{at.filename().string()};
    if (!stored)
        for (int n = 1; n <= 9; ++n)
            names.push_back(stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".log");
    const auto found = [&](const FolderHandle& place) {
        for (const std::string& name : names) {
            const auto is = isNamed(place, name, journal, first, key);
            if (is.ok() && *is)
                return true;
            if (!is.ok() && judged.why.empty())
                judged.why = (is.where().empty() ? place.pathOf(name) : is.where()) + " cannot be read (" +
                             Vexa::reasonOf(is.error()) + ")";
        }
        return false;
    };
    const auto cannotOpen = [&](const FolderHandle& place) {
        if (!place && place.error() && !place.isNoFolder() && judged.why.empty())
            judged.why = place.path() + " cannot be read (" + Vexa::reasonOf(place.error()) + ")";
    };
    bool holds = found(own);
    const std::string named = FolderHandle::plainPath(at.parent_path().string());
    for (std::size_t i = 0; !holds && i < elsewhere.size(); ++i)
        if (FolderHandle::plainPath(elsewhere[i]) == named && named != FolderHandle::plainPath(own.path())) {
            const FolderHandle place = FolderHandle::open(elsewhere[i], false);
            holds = place && found(place);
            cannotOpen(place);
        }
    if (!holds) {
        std::string why;
        const FolderHandle place = planningLog(why);
        const auto same = place ? place.isSameFolder(own) : Answer<bool>(true);
        holds = place && !(same.ok() && *same) && found(place);
        cannotOpen(place);
        if (!why.empty() && judged.why.empty())
            judged.why = why;
    }
    judged.verdict = holds ? Judged::holds : judged.why.empty() ? Judged::notThere : Judged::unknown;
    return judged;
}

}

std::vector<std::string> TreatmentLog::recover(const std::vector<std::string>& planningLogFolders,
                                               const std::vector<std::string>& patientPaths,
                                               const std::function<bool()>& stop) const
{
    std::vector<std::string> told;
    try {
        std::vector<std::pair<std::string, bool>> folders; // a "Log" folder, whether it is a planning's
        for (const auto& folder : planningLogFolders)
            folders.emplace_back(folder, true);
        for (const auto& place : elsewhere(patientPaths))
            folders.emplace_back(place.folder, false);
        std::vector<std::pair<dev_t, ino_t>> seen;
        for (const auto& [path, planning] : folders) {
            if (stop && stop())
                break;
            // A "Log" that is a link is no planning's log folder: it does not open.
            const FolderHandle folder = FolderHandle::open(path, false);
            const auto itself = folder ? folder.status(".") : Answer<struct stat>(folder.failure());
            if (!itself.ok() || std::find(seen.begin(), seen.end(), std::pair{itself->st_dev, itself->st_ino}) != seen.end())
                continue;
            seen.emplace_back(itself->st_dev, itself->st_ino);
            const auto names = folder.entries();
            if (!names.ok()) {
                record("the journals in " + folder.path() + " cannot be listed: " + Vexa::reasonOf(names.error()));
                continue;
            }
            for (const std::string& name : *names) {
                if (stop && stop())
                    break;
                if (Vexa::AtomicFile::isTemporaryName(name) &&
                    (name.find(std::string(".journal") + Vexa::AtomicFile::temporaryTag) != std::string::npos ||
                     name.find(std::string(".log") + Vexa::AtomicFile::temporaryTag) != std::string::npos)) {
                    removeLeft(folder, name);
                    continue;
                }
                if (!name.ends_with(".journal"))
                    continue;
                try {
                    recoverJournal(folder, name, planning, patientPaths, told, stop);
                } catch (const std::exception& e) {
                    record("the journal " + folder.pathOf(name) + " is left: " + e.what());
                } catch (...) {
                    record("the journal " + folder.pathOf(name) + " is left");
                }
            }
        }
    } catch (const std::exception& e) {
        record(std::string("the journals of killed programs are not all looked at: ") + e.what());
    } catch (...) {
        record("the journals of killed programs are not all looked at");
    }
    return told;
}

void TreatmentLog::recoverJournal(const FolderHandle& folder, const std::string& name, bool inPlanning,
                                  const std::vector<std::string>& patientPaths, std::vector<std::string>& told,
                                  const std::function<bool()>& stop) const
{
    const std::string path = folder.pathOf(name);
    const auto entry = folder.status(name);
    if (!entry.ok() || !S_ISREG(entry->st_mode))
        return;
    // Another user's journal is that user's start's to make into a log: its lines are that
    // user's text, and where it would go that user's choice.
    if (entry->st_uid != ::geteuid()) {
        record("left the journal " + path + " of the user " + std::to_string(entry->st_uid) + " for that user's start");
        return;
    }
    auto file = folder.openToLock(name);
    if (!file.ok()) {
        record("the journal " + path + " cannot be opened: " + Vexa::reasonOf(file.error()));
        return;
    }
    const auto lock = file->lock();
    if (lock.ok() && *lock == FolderHandle::File::Lock::held)
        return; // a live navigation's
    if (!lock.ok() || *lock == FolderHandle::File::Lock::unsupported) {
        told.push_back("The journal " + path + " of a navigation cannot be locked (" +
                       Vexa::reasonOf(lock.ok() ? ENOLCK : lock.error()) +
                       "), so whether its navigation still runs cannot be told: it is left as it is.");
        return;
    }
    // Locked here: it is a dead program's only while it still has that name (its program may
    // have stored its log and removed it between the listing and the lock).
    const auto now = file->status();
    const auto at = file->isAt(folder, name);
    if (!now.ok() || !at.ok() || !*at || now->st_nlink == 0)
        return;
    // A journal has one name: a file with more (a link put at a journal's name) is another's. The
    // names the NFS client keeps of it and the one it was made under are its own.
    if (now->st_nlink > 1) {
        const nlink_t names = now->st_nlink - namesOfItsOwn(folder, name, *now);
        if (names > 1) {
            record("left " + path + ": it has " + std::to_string(names) + " names, so it is no journal of this program's");
            return;
        }
    }
    auto size = static_cast<std::uintmax_t>(now->st_size);
    const std::uintmax_t largest = largestJournal.load();
    if (size > largest || isSparse(file->descriptor(), *now)) {
        const std::string key = path + " " + std::to_string(now->st_ino);
        std::lock_guard lockTold(toldMutex_);
        if (std::find(toldLeft_.begin(), toldLeft_.end(), key) == toldLeft_.end()) {
            toldLeft_.push_back(key);
            told.push_back("The journal " + path + " is left as it is: " +
                           (size > largest ? "it is larger (" + std::to_string(size) +
                                                         " bytes) than a navigation writes"
                                                   : std::string("it has holes, which no navigation writes")) +
                           ", so it is no journal of this program's.");
        }
        return;
    }
    // Its first lines: its start, which every log and journal of it begins with, and its planning
    // as its FILE entry names it.
    std::string first, planningFile;
    const auto head = file->readAt(0, static_cast<std::size_t>(std::min<std::uintmax_t>(size, 1 << 16)));
    const Tail tail = head.ok() ? tailOf(*file, size) : Tail();
    if (const int error = head.ok() ? tail.error : head.error()) {
        record("the journal " + path + " is left for a later start: it cannot be read (" + Vexa::reasonOf(error) + ")");
        return;
    }
    {
        if (const std::size_t end = head->find('\n'); end != std::string::npos)
            first = head->substr(0, end + 1);
        const std::string entryText = "  ACTION: FILE ";
        if (const std::size_t entryAt = head->find(entryText); entryAt != std::string::npos)
            if (const std::size_t end = head->find('\n', entryAt); end != std::string::npos)
                planningFile = head->substr(entryAt + entryText.size(), end - entryAt - entryText.size());
    }
    // Where its planning is now, as a reload finds it: looked for once, and only where needed.
    std::optional<std::string> planned;
    std::string plannedFailure;
    const auto plannedNow = [&]() -> const std::string& {
        if (!planned)
            planned = plannedFolder(planningFile, patientPaths, &plannedFailure);
        return *planned;
    };
    // Its log stored, or its lines gone on into another journal: it only goes. A mark that names
    // nothing there (a kill before that got its name), or nothing of this journal's, is no line
    // of the log; neither is a mark cut short. Where what it names cannot be looked at, the
    // journal and its mark stay for a later start: an error is no answer.
    if (!tail.mark.empty()) {
        std::vector<std::string> places;
        for (const auto& place : elsewhere(patientPaths))
            places.push_back(place.folder);
        const Judged judged = judgeMark(tail.mark, folder, *now, first, places, [&](std::string& why) {
            const std::string& at = plannedNow();
            if (!plannedFailure.empty())
                why = plannedFailure;
            return at.empty() ? FolderHandle() : openBelowPatients(at, patientPaths).child("Log");
        });
        if (judged.verdict == Judged::holds) {
            record("the journal " + path + " goes: " + tail.mark);
            size = 0;
        } else if (judged.verdict == Judged::unknown) {
            record("the journal " + path + " stays with its last line " + tail.mark + ": " + judged.why);
            const std::string key = "unchecked " + path + " " + std::to_string(now->st_ino);
            std::lock_guard lockTold(toldMutex_);
            if (std::find(toldLeft_.begin(), toldLeft_.end(), key) == toldLeft_.end()) {
                toldLeft_.push_back(key);
                const bool stored = tail.mark.starts_with(storedMark);
                std::string why = judged.why;
                if (!why.empty() && why.back() == '.')
                    why.pop_back();
                if (why.starts_with("The "))
                    why[0] = 't';
                told.push_back("The journal " + path + " of a navigation is kept for a later start: whether " +
                               (stored ? "its treatment log " + judged.named
                                       : "the journal its lines went on to, " + judged.named + ",") +
                               " is there cannot be checked: " + why + ".");
            }
            return;
        } else {
            size = tail.markAt;
        }
    } else {
        size = tail.end;
    }
    if (size > 0 && size < static_cast<std::uintmax_t>(now->st_size) &&
        ::ftruncate(file->descriptor(), static_cast<off_t>(size)) != 0)
        record("the journal " + path + " keeps its last line, which is none of its log's: " + Vexa::reasonOf(errno));
    if (size == 0) {
        // Nothing of a log is in it.
        folder.removeFile(name);
        return;
    }
    // Beside it in a planning's "Log" folder; from beside the program, the user's data folder or
    // the study folder into its planning's, where that lies below the patient folders.
    std::vector<FolderHandle> places;
    if (!inPlanning)
        if (const std::string& at = plannedNow(); !at.empty()) {
            std::string cause;
            if (FolderHandle logs = openMade(openBelowPatients(at, patientPaths), "Log", cause))
                places.push_back(std::move(logs));
            else
                record("the log of the journal " + path + " cannot go beside its planning: " + cause);
        }
    places.push_back(folder.again());
    std::string stored, failure;
    bool made = false;
    for (const FolderHandle& place : places) {
        const auto log = place ? logOf(place, name, *file, size, made, stop) : Answer<std::string>(place.failure());
        if (log.ok()) {
            stored = place.pathOf(*log);
            break;
        }
        if (log.error() == ECANCELED) {
            record("the journal " + path + " is left for the next start: this one ends");
            return;
        }
        failure = log.error() == EEXIST ? "every name of its log is another file's" : Vexa::reasonOf(log.error());
    }
    if (stored.empty()) {
        record("the journal " + path + " a program left stays: " + failure);
        return;
    }
    std::string text = "The treatment log of a navigation whose program ended before storing it was made from its journal " +
                       path + ": it is in " + stored + ".";
    // Removed while it is still this file and locked here.
    const auto still = file->isAt(folder, name);
    const int removed = still.ok() && *still ? folder.removeFile(name).error() : still.error();
    if (removed) {
        record("cannot remove the journal " + path + ": " + Vexa::reasonOf(removed));
        // Emptied instead: a later start makes no other log of it, nor tells of this one again.
        if (file->rewrite("").ok())
            file->sync();
        text += " Its journal cannot be removed (" + Vexa::reasonOf(removed) + "); no other log is made of it.";
    }
    // Told also where an earlier start made it and ended before the journal went: nobody heard of
    // it then.
    if (!made)
        record("the log of the journal " + path + " was made before: " + stored);
    told.push_back(text);
}

void TreatmentLog::setLargestJournal(std::uintmax_t bytes)
{
    largestJournal = bytes ? bytes : maxJournalBytes;
}

void TreatmentLog::hurry(std::chrono::steady_clock::time_point deadline)
{
    TreatmentLog& s = side();
    std::lock_guard lock(s.workMutex_);
    if (!s.deadline_ || deadline < *s.deadline_)
        s.deadline_ = deadline;
}

bool TreatmentLog::isBusy() const
{
    const TreatmentLog& s = side();
    std::lock_guard lock(s.workMutex_);
    return !s.waitDone();
}

std::string TreatmentLog::waitingFor() const
{
    const TreatmentLog& s = side();
    std::lock_guard lock(s.workMutex_);
    return s.waitingFor_;
}

void TreatmentLog::setWaiting(const std::string& what)
{
    {
        std::lock_guard lock(workMutex_);
        waitingFor_ = what;
        // Waiting for another instance's turn is no folder that does not answer.
        if (!what.empty())
            heldSince_.reset();
        else if (working_ && !heldSince_)
            heldSince_ = std::chrono::steady_clock::now();
    }
    workChanged_.notify_all();
}

void TreatmentLog::wait(const std::function<void(const std::string&)>& waiting) const
{
    const TreatmentLog& s = side();
    std::unique_lock lock(s.workMutex_);
    std::string told;
    for (;;) {
        if (s.waitDone())
            return;
        if (s.waitingFor_ != told) {
            told = s.waitingFor_;
            if (waiting && !told.empty()) {
                lock.unlock();
                waiting(told);
                lock.lock();
            }
            continue;
        }
        // The writer's progress is looked at now and then.
        s.workChanged_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

TreatmentLog::Place TreatmentLog::find(const std::string& planningFile, const std::shared_ptr<const Settings>& planning)
{
    Place place;
    place.planned = !planningFile.empty();
    if (!place.planned)
        return place;
    place.loadedFolder = QFileInfo(QString::fromStdString(planningFile)).absolutePath().toStdString();
    if (!planning) {
        place.folder = QFileInfo(QString::fromStdString(planningFile)).path().toStdString();
        return place;
    }
    auto most = std::chrono::milliseconds::max();
    {
        std::lock_guard lock(workMutex_);
        if (deadline_)
            most = std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                              *deadline_ - std::chrono::steady_clock::now()));
    }
    place.turn = std::make_unique<PlanningPlace>(planning.get(), [this](const std::string& what) { setWaiting(what); }, most);
    setWaiting({});
    place.folder = place.turn->folder();
    return place;
}

void TreatmentLog::settle(const std::shared_ptr<Journal>& journal, const std::string& planningFile,
                          const std::shared_ptr<const Settings>& planning)
{
    // However the look ends, the lines stop being kept twice.
    struct Settled
    {
        TreatmentLog& log;
        Journal& journal;
        ~Settled()
        {
            std::lock_guard lock(journal.mutex);
            journal.settled = true;
            journal.lines.clear();
        }
    } settled{*this, *journal};
    Place place = find(planningFile, planning);
    const auto patientPaths = planning ? planning->getPatientPaths() : std::vector<std::string>();
    // A journal a killed program left beside this planning becomes its log now.
    if (!place.folder.empty())
        tellNotice(recover({place.folder + "/Log"}, patientPaths));
    {
        // The log was handed over meanwhile: what this look found, the turn held, is where the
        // store puts it; no second wait for the same save.
        std::lock_guard lock(journal->mutex);
        if (journal->handedOver) {
            journal->found = std::make_unique<Place>(std::move(place));
            return;
        }
    }
    std::string cause, moved, stamped, temporary;
    std::optional<FolderHandle::File> made;
    FolderHandle logs;
    std::size_t copied = 0;
    {
        // What was journaled so far makes the new journal, locked before it has a name: a
        // temporary one, which no start takes for a journal, until the old journal names it as
        // where its lines went (a kill between leaves one journal of them).
        std::string lines;
        {
            std::lock_guard lock(journal->mutex);
            lines = journal->lines;
        }
        if (!place.folder.empty())
            logs = logFolderIn(place.folder, false, cause);
        if (logs) {
            stamped = Utilities::getTimeStampName(Utilities::currentDateTime()) + ".journal";
            temporary = Vexa::AtomicFile::temporaryNameFor(stamped);
            auto fresh = logs.createWhole(temporary, lines);
            // Lines follow at its end: it was written in place, not through its position.
            if (fresh.ok() && ::lseek(fresh->descriptor(), 0, SEEK_END) >= 0)
                made = std::move(*fresh);
            else
                cause = fresh.ok() ? logs.pathOf(stamped) + " cannot be written (" + Vexa::reasonOf(errno) + ")"
                                   : cannotMake(logs, stamped, fresh.error());
            if (fresh.ok() && !made)
                removeIfSame(fresh->descriptor(), logs.pathOf(temporary));
        }
        copied = lines.size();
    }
    if (made) {
        // The lines that came meanwhile follow, while the journal still takes every line itself;
        // once none is left to follow, the new journal takes its place under the journal's lock,
        // which the writer takes (never the camera's tick: a move held by a folder that does not
        // answer only leaves the lines queued). Every line the writer took is in one of the two:
        // a kill at any moment leaves them. Where lines keep coming faster than a sync takes,
        // the last few are written under that lock (a rare write, without a sync).
        FolderHandle::File fresh = std::move(*made), old;
        int error = 0;
        std::string oldPath;
        bool switched = false;
        const auto writeFresh = [&](const std::string& more) {
            const auto written = fresh.writeAt(copied, more);
            return written.ok() ? 0 : written.error();
        };
        {
            // The display names the folder the lines wait for while the journal moves.
            std::lock_guard lock(linesMutex_);
            journal->at = logs.path();
        }
        for (int round = 0;; ++round) {
            std::string more;
            {
                std::lock_guard lock(journal->mutex);
                if (journal->ended)
                    break; // a new log began: what this one journaled stays where it is
                more = journal->lines.substr(copied);
                if (!more.empty() && round >= 3) {
                    if ((error = writeFresh(more)))
                        break;
                    copied += more.size();
                    more.clear();
                }
                if (more.empty()) {
                    // The old journal names the new one, which then gets its own name.
                    std::string name;
                    Answer<Done> named = Failure{EEXIST};
                    for (int i = 0; i < journalNameTries && !named.ok() && named.error() == EEXIST; ++i) {
                        if (i > 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        name = Utilities::getTimeStampName(Utilities::currentDateTime()) + ".journal";
                        const bool marked = journal->mark(movedMark, logs.pathOf(name));
                        named = logs.moveTo(temporary, logs, name);
                        if (!named.ok() && marked)
                            journal->unmark();
                    }
                    if (!named.ok()) {
                        error = named.error();
                        moved = logs.pathOf(name);
                        break;
                    }
                    moved = logs.pathOf(name);
                    old = std::exchange(journal->file, std::move(fresh));
                    oldPath = std::exchange(journal->path, moved);
                    journal->size = static_cast<long long>(copied);
                    journal->failed = false;
                    journal->settled = switched = true;
                    journal->lines.clear();
                    break;
                }
            }
            error = writeFresh(more);
            if (const auto synced = error ? Answer<Done>(Failure{error}) : fresh.sync(); !synced.ok() && synced.error() != EINVAL)
                error = synced.error();
            if (error)
                break;
            copied += more.size();
        }
        std::string stays = moved;
        if (!switched) {
            std::lock_guard lock(journal->mutex);
            stays = journal->path;
        }
        {
            std::lock_guard lock(linesMutex_);
            journal->at = std::filesystem::path(stays).parent_path().string();
        }
        if (switched) {
            // The new journal holds it all.
            removeIfSame(old.descriptor(), oldPath);
            old.close();
            return;
        }
        removeIfSame(fresh.descriptor(), logs.pathOf(temporary));
        fresh.close();
        if (!error)
            return; // a new log began meanwhile; this one's journal stays where it is
        cause = moved.empty() ? logs.pathOf(stamped) + " cannot be written (" + Vexa::reasonOf(error) + ")"
                              : cannotMake(logs, moved.substr(moved.rfind('/') + 1), error);
        if (journal->ended)
            return;
    }
    std::string journalAt;
    std::vector<std::string> refused;
    {
        std::lock_guard lock(journal->mutex);
        if (journal->fd() >= 0 && !journal->failed)
            journalAt = journal->path;
        refused = journal->refused;
    }
    std::string where;
    if (journalAt.empty() && refused.empty())
        where = "What is logged is kept in memory and written when navigation ends, beside the program or, where that "
                "cannot take it, into the user's data folder.";
    else if (refused.empty())
        where = goesElsewhere(0, patientPaths, journalAt);
    else if (!journalAt.empty())
        where = "Nor can it go " + refused.front() + "." + furtherRefusals(refused) + " " +
                goesElsewhere(refused.size(), patientPaths, journalAt);
    else
        where = noPlace(refused);
    if (place.folder.empty())
        tell({"The planning " + place.loadedFolder + " is no longer there, and no planning that replaces it was found. " +
              where});
    else
        tell({"The treatment log cannot go into the planning's folder " + place.folder + ": " + cause + ". " + where});
}

std::string TreatmentLog::writeLog(const FolderHandle& folder, const std::string& text, std::string& file,
                                   Journal* journal) const
{
    try {
        std::string name, cause;
        bool marked = false;
        // The journal names its log before the log has its name: a start never makes a second one.
        auto made = createStamped(folder, ".log", text, 1, name, cause, [&](const std::string& next) {
            marked = journal && journal->mark(storedMark, contentKey(text) + " " + folder.pathOf(next));
        });
        if (!made && marked)
            journal->unmark();
        if (!made)
            return cause;
        made->close();
        file = folder.pathOf(name);
        return {};
    } catch (const std::exception& e) {
        return "no log can be written into " + folder.path() + " (" + e.what() + ")";
    }
}

void TreatmentLog::storeText(Handed& handed, const std::shared_ptr<Journal>& journal,
                             const std::shared_ptr<const Settings>& planning)
{
    const std::string& text = handed.text;
    const std::string& planningFile = handed.planningFile;
    const std::vector<std::string>& patientPaths = handed.patientPaths;
    std::vector<std::string> told;
    std::unique_ptr<Place> found;
    // The journal handed over is the worker's alone once the writer wrote its last lines: marked,
    // removed or kept without the lock the writer takes.
    Journal done;
    if (journal) {
        waitForWriter(*journal);
        std::lock_guard lock(journal->mutex);
        found = std::move(journal->found);
        done.file = std::move(journal->file);
        done.path = journal->path;
        done.size = journal->size;
    }
    Journal* const marking = done.fd() >= 0 ? &done : nullptr;
    const Place place = found ? std::move(*found) : find(planningFile, planning);
    // Beside the program, else in the user's data folder: the log of no planning, of one that is
    // nowhere, or of one whose folder cannot take it. What the user reads after "<lead>. ".
    std::string stored;
    const auto places = elsewhere(patientPaths);
    const auto keptWhere = [&places](const std::string& file) {
        for (const auto& place : places)
            if (file.rfind(FolderHandle::plainPath(place.folder) + "/", 0) == 0)
                return place.where;
        return std::string("in the user's data folder");
    };
    const auto elsewhereText = [&](const std::vector<std::string>& refused, const std::string& file) {
        std::string said;
        for (const auto& refusal : refused)
            said += (said.empty() ? "Nor can it be kept " : "; nor ") + refusal;
        if (!said.empty())
            said += ".";
        if (!file.empty())
            said += (said.empty() ? "" : " ") + std::string("It is kept ") + keptWhere(file) + ", in " + file + ".";
        return said;
    };
    const std::string logs = (place.folder.empty() ? programLogFolder() : place.folder + "/Log") + "/";
    std::size_t placeTold = std::string::npos; // the text that says where the log went
    bool claimed = false;
    {
        std::lock_guard lock(handed.mutex);
        if (handed.state == Handed::pending) {
            handed.state = Handed::storing;
            claimed = true;
        } else {
            stored = handed.keptIn;
        }
    }
    if (!claimed) {
        // Kept elsewhere while this waited for a folder that did not answer, and the user told
        // where: the journal names that log, then goes.
        record("the treatment log was kept in " + stored + " while its folder did not answer");
        if (marking && !stored.empty())
            marking->mark(storedMark, contentKey(text) + " " + stored);
    } else if (!place.planned) {
        if (const auto refused = keepElsewhere(text, patientPaths, stored, marking); !refused.empty()) {
            placeTold = told.size();
            // Only beside the program is where such a log belongs: the first refusal is its.
            const std::string first = refused.front().substr(refused.front().find(": ") + 2);
            const std::string then = elsewhereText({refused.begin() + 1, refused.end()}, stored);
            told.push_back("The treatment log cannot be written into " + programLogFolder() + ": " + first + "." +
                           (then.empty() ? "" : " " + then));
        }
    } else if (place.folder.empty()) {
        const auto refused = keepElsewhere(text, patientPaths, stored, marking);
        placeTold = told.size();
        told.push_back("The planning " + place.loadedFolder + " is no longer there, and no planning that replaces it was found" +
                       (refused.empty() ? ": the treatment log is kept in " + stored + "." : ". " + elsewhereText(refused, stored)));
    } else {
        std::string cause;
        if (const FolderHandle folder = logFolderIn(place.folder, false, cause))
            cause = writeLog(folder, text, stored, marking);
        if (!cause.empty()) {
            const auto refused = keepElsewhere(text, patientPaths, stored, marking);
            placeTold = told.size();
            told.push_back("The treatment log cannot go into the planning's folder " + place.folder + ": " + cause + ". " +
                           elsewhereText(refused, stored));
        }
    }
    if (claimed) {
        std::lock_guard lock(handed.mutex);
        if (handed.state == Handed::storing)
            handed.state = Handed::stored;
        else if (!stored.empty())
            record("the treatment log " + stored + " was written after its copy was kept in " + handed.keptIn +
                   " while its folder did not answer; both stay");
    }
    bool everyCopy = !stored.empty();
    const bool storedElsewhere = !stored.empty() && stored.rfind(logs, 0) != 0;
    std::string copy;

    const std::string first = patientPaths.empty() ? std::string() : patientPaths.front();
    std::string name = Constants::studyDummyFolder;
    name.pop_back(); // its "/"
    const std::string study = first + "/" + name + "/";
    if (!stored.empty() && stored.rfind(FolderHandle::plainPath(study + "Log") + "/", 0) == 0) {
        record("no study copy beside the log kept in the study folder: it stands for it");
    } else if (!first.empty() && QDir::isAbsolutePath(QString::fromStdString(first))) {
        // The patient folder too, before its first planning, as a save makes it.
        std::string cause;
        const FolderHandle studyFolder = openMade(FolderHandle::make(first), name, cause);
        // Written once, whole: a cut one would never be written again. One that cannot be
        // made at all is skipped, as before; one that fails on the way is told.
        if (const auto there = studyFolder ? studyFolder.has(Constants::studyDummyFile) : Answer<bool>(true);
            there.ok() && !*there) {
            auto made = studyFolder.createWhole(Constants::studyDummyFile,
                                                "[Patient]\nname = Morvanta Study Dummy\nbirthday = 18991230\n"
                                                "sex = \nid = Dummy\n[Planningdata]\nversion = P100.0.0\n"
                                                "lastModified = 01/01/2004 00:00:00\nimplantregion = 0\n"
                                                "[Implant]\nimplant = 0\n");
            // Another instance's dummy, written meanwhile, is as good as this one.
            if (!made.ok() && made.error() != EEXIST && !refused(made.error()))
                told.push_back("The study's dummy planning cannot be written: " +
                               cannotMake(studyFolder, Constants::studyDummyFile, made.error()) + ".");
        }
        if (const FolderHandle logFolder = studyFolder ? openMade(studyFolder, "Log", cause) : FolderHandle())
            cause = writeLog(logFolder, text, copy);
        if (!cause.empty()) {
            const std::string lead = "The study copy of the treatment log cannot go into " + study + "Log: " + cause;
            // Never the same log twice in one folder.
            if (storedElsewhere) {
                told.push_back(lead + ". The treatment log kept " + keptWhere(stored) + ", " + stored + ", stands for it.");
            } else {
                std::string besideCopy;
                const auto refused = keepElsewhere(text, patientPaths, besideCopy);
                everyCopy = everyCopy && !besideCopy.empty();
                told.push_back(lead + ". " + elsewhereText(refused, besideCopy));
            }
        }
    } else {
        record("no study copy: the first patient path is not an absolute folder");
    }
    // Where the log went is told with every copy of it.
    if (placeTold != std::string::npos && !copy.empty())
        told[placeTold] += " Its study copy is in " + copy + ".";

    if (journal) {
        if (everyCopy)
            done.remove(logs);
        else if (done.fd() >= 0 && done.size > 0)
            told.push_back("What was logged stays in the journal " + done.where() + ".");
        else if (stored.empty() && copy.empty())
            told.push_back("Nothing of this treatment log could be kept.");
        done.close(!everyCopy);
    }
    tell(told);
}
