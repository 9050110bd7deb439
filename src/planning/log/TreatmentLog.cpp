#include "planning/log/TreatmentLog.h"

#include "planning/log/DrillLog.h"
#include "planning/log/PlanningPlace.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/Reason.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
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

// The folder `name` in `parent`, made (one level) where it is missing; empty when it is there,
// else why it is not, in the words of the step that failed.
std::string makeFolder(const std::string& parent, const std::string& name)
{
    const std::string folder = parent + "/" + name;
    if (::mkdir(folder.c_str(), 0777) == 0)
        return {};
    const int error = errno;
    struct stat there{};
    if (error == EEXIST && ::stat(folder.c_str(), &there) == 0)
        return S_ISDIR(there.st_mode) ? std::string() : folder + " is not a folder";
    return "the folder " + name + (refused(error) ? " may not be made in " : " cannot be made in ") + parent + " (" +
           Vexa::reasonOf(error) + ")";
}

// Why no file could be made in `folder`.
std::string cannotMakeFile(const std::string& folder, int error)
{
    return std::string(refused(error) ? "no file may be made in " : "no file can be made in ") + folder + " (" +
           Vexa::reasonOf(error) + ")";
}

// Writes `text` into `path` without ever replacing a file: first into a new file beside it,
// synced, then linked to `path`, which fails when the name is taken. Empty on success, else why,
// naming the file the user will look for (never the one aside); `created` tells whether a file
// could be made there at all, `taken` whether the name was another file's.
std::string writeNewFile(const std::string& path, const std::string& text, bool* created = nullptr, bool* taken = nullptr)
{
    std::string aside;
    const int fd = Vexa::AtomicFile::createTemporaryBeside(path, aside, O_WRONLY);
    if (created)
        *created = fd >= 0;
    if (fd < 0)
        return cannotMakeFile(QFileInfo(QString::fromStdString(path)).path().toStdString(), errno);
    int error = Vexa::AtomicFile::writeAll(fd, text);
    if (!error && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    if (::close(fd) != 0 && !error && errno != EINTR)
        error = errno;
    std::string failure;
    if (error)
        failure = path + " cannot be written (" + Vexa::reasonOf(error) + ")";
    else if (::link(aside.c_str(), path.c_str()) != 0) {
        if (taken)
            *taken = errno == EEXIST;
        failure = errno == EEXIST ? "the name " + path + " is taken" : path + " cannot be written (" + Vexa::reasonOf(errno) + ")";
    }
    ::unlink(aside.c_str());
    return failure;
}

// A new journal in `folder` (with its trailing "/"); its descriptor, or -1 with why in `cause`.
int createUnique(const std::string& folder, const char* extension, std::string& path, std::string& cause)
{
    const std::string at = folder.substr(0, folder.size() - 1);
    int error = 0;
    const int fd = Utilities::createRecordFile(at, extension, path, error);
    if (fd < 0)
        cause = error == EEXIST ? "no free name for a file in " + at : cannotMakeFile(at, error);
    return fd;
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

// A journal is this program's while it holds the lock: one nobody locks was left by a program
// that ended without storing its log.
void lockJournal(int fd)
{
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        record("cannot lock a journal: " + Vexa::reasonOf(errno));
}

// Removes the file at `path` while it is the file open as `fd`.
void removeIfSame(int fd, const std::string& path)
{
    struct stat own{}, there{};
    if (fd >= 0 && ::fstat(fd, &own) == 0 && ::lstat(path.c_str(), &there) == 0 && there.st_dev == own.st_dev &&
        there.st_ino == own.st_ino && ::unlink(path.c_str()) != 0)
        record("cannot remove the journal " + path + ": " + Vexa::reasonOf(errno));
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
// that the journal moved into the planning's folder has them all. Guarded by journalMutex_.
struct TreatmentLog::Journal
{
    int fd = -1;          // -1: none could be made, or it is closed
    std::string path;     // where it was made
    long long size = 0;   // bytes of whole lines in it
    bool failed = false;  // a write failed: it takes no more lines
    bool settled = false; // it stays where it is
    bool ended = false;   // a new log began before this one was stored
    bool handedOver = false; // the log is stored next
    bool moving = false;  // lines go into `lines` alone while the worker moves the journal
    std::vector<std::string> refused; // why the places elsewhere did not take it, "<where>: <cause>"
    std::unique_ptr<Place> found; // where the look before the store found the planning
    std::string lines;    // every line until it is settled

    ~Journal() { close(true); }
    // A journal that stays is all there is of an unstored log: it reaches the disk.
    void close(bool keep)
    {
        if (fd < 0)
            return;
        if (keep)
            ::fsync(fd);
        ::close(fd);
        fd = -1;
    }
    // Where it is now (a take-over may have moved it).
    std::string where() const
    {
        char now[PATH_MAX];
        const ssize_t length =
            fd < 0 ? -1 : ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), now, sizeof now - 1);
        return length > 0 ? std::string(now, static_cast<std::size_t>(length)) : path;
    }
    // Removes it wherever it is now: a take-over of the planning's folder moves the "Log" folder,
    // the open journal in it, into the planning that replaces it. Only while that name is still
    // this very file. `logFolder`: where the log was stored.
    void remove(const std::string& logFolder) const
    {
        struct stat own{};
        if (fd < 0 || ::fstat(fd, &own) != 0 || own.st_nlink == 0)
            return;
        std::vector<std::string> places;
        char now[PATH_MAX];
        const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), now, sizeof now - 1);
        if (length > 0)
            places.emplace_back(now, static_cast<std::size_t>(length));
        places.push_back(path);
        places.push_back(logFolder + QFileInfo(QString::fromStdString(path)).fileName().toStdString());
        for (const std::string& place : places) {
            struct stat there{};
            if (::lstat(place.c_str(), &there) == 0 && there.st_dev == own.st_dev && there.st_ino == own.st_ino) {
                if (::unlink(place.c_str()) != 0)
                    record("cannot remove the journal " + place + ": " + Vexa::reasonOf(errno));
                return;
            }
        }
    }
};

TreatmentLog::TreatmentLog(std::string dataFolder, Report report)
    : dataFolder_(std::move(dataFolder)), report_(std::move(report))
{
}

TreatmentLog::~TreatmentLog()
{
    {
        std::lock_guard lock(workMutex_);
        ending_ = true;
        // What is left waits for another instance's save no longer than a quit would.
        const auto deadline = std::chrono::steady_clock::now() + PlanningPlace::patience;
        if (!deadline_ || deadline < *deadline_)
            deadline_ = deadline;
    }
    workChanged_.notify_all();
    if (worker_.joinable())
        worker_.join();
    std::lock_guard lock(journalMutex_);
    if (journal_)
        journal_->close(true);
}

std::vector<std::string> TreatmentLog::takeFailures()
{
    std::lock_guard lock(journalMutex_);
    return std::exchange(failures_, {});
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
    std::lock_guard lock(journalMutex_);
    failures_.insert(failures_.end(), texts.begin(), texts.end());
}

std::string TreatmentLog::programLogFolder() const
{
    return dataFolder_ + "/Log";
}

std::vector<TreatmentLog::Elsewhere> TreatmentLog::elsewhere() const
{
    return {{programLogFolder(), "beside the program"}, {userDataFolder() + "/Log", "in the user's data folder"}};
}

namespace {

// The "Log" folder `folder`, made where missing (its parents too, in the user's data folder);
// empty when it stands, else why not.
std::string makeLogFolder(const std::string& folder, bool parents)
{
    const std::filesystem::path at(folder);
    std::error_code error;
    if (parents && !std::filesystem::is_directory(at.parent_path(), error)) {
        std::filesystem::create_directories(at.parent_path(), error);
        if (error)
            return "the folder " + at.parent_path().string() + " cannot be made (" + error.message() + ")";
    }
    return makeFolder(at.parent_path().string(), at.filename().string());
}

}

int TreatmentLog::journalElsewhere(const std::string& lines, std::string& path, std::vector<std::string>& refusals) const
{
    const auto places = elsewhere();
    for (const auto& place : places) {
        std::string cause = makeLogFolder(place.folder, &place != &places.front());
        int fd = cause.empty() ? createUnique(place.folder + "/", ".journal", path, cause) : -1;
        if (fd >= 0) {
            int error = Vexa::AtomicFile::writeAll(fd, lines);
            if (!error && ::fsync(fd) != 0 && errno != EINVAL)
                error = errno;
            if (!error)
                return fd;
            // A journal that holds nothing would be named for nothing.
            cause = path + " cannot be written (" + Vexa::reasonOf(error) + ")";
            ::unlink(path.c_str());
            ::close(fd);
        }
        refusals.push_back(place.where + ": " + cause);
    }
    path.clear();
    return -1;
}

std::vector<std::string> TreatmentLog::keepElsewhere(const std::string& text, std::string& file) const
{
    std::vector<std::string> refusals;
    const auto places = elsewhere();
    for (const auto& place : places) {
        std::string cause = makeLogFolder(place.folder, &place != &places.front());
        if (cause.empty())
            cause = writeLog(place.folder + "/", text, file);
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
    std::string failure;
    {
        std::lock_guard lock(journalMutex_);
        if (!journal_)
            return;
        Journal& j = *journal_;
        if (!j.settled)
            j.lines += line;
        if (j.fd < 0 || j.failed || j.moving)
            return;
        if (const int error = Vexa::AtomicFile::writeAll(j.fd, line)) {
            // The journal keeps its whole lines; a later line would leave a gap, so none follows.
            j.failed = true;
            [[maybe_unused]] const int cut = ::ftruncate(j.fd, j.size);
            failure = Vexa::AtomicFile::failureText(j.path, error) +
                      " The treatment log goes on in memory and is written when navigation ends.";
        } else {
            j.size += static_cast<long long>(line.size());
        }
    }
    if (!failure.empty())
        tell({failure});
}

std::vector<std::string> TreatmentLog::start(const QString& patientName, const std::string& planningFile,
                                             const std::vector<ImplantPtr>& implants, Constants::Jaw jaw,
                                             std::shared_ptr<const Settings> planning) try
{
    std::vector<std::string> failures;
    // At once beside the program (else in the user's data folder): the look for the planning's
    // folder may wait for another instance, and the first entry must not. Its first lines are
    // composed before it is made: a place whose disk cannot take them is no place for it.
    auto journal = std::make_shared<Journal>();
    int old = -1;
    {
        std::lock_guard lock(journalMutex_);
        if (journal_) {
            journal_->ended = true;
            // One being moved is the worker's to close.
            if (!journal_->moving)
                old = std::exchange(journal_->fd, -1);
        }
        journal_ = journal;
        failures_.clear();
    }
    if (old >= 0) {
        ::fsync(old);
        ::close(old);
    }
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
    std::string first;
    {
        std::lock_guard lock(journalMutex_);
        first = journal->lines;
    }
    std::string path;
    std::vector<std::string> refused;
    const int fd = journalElsewhere(first, path, refused);
    lockJournal(fd);
    {
        // Nothing is journaled between (the caller's lock): the lines copied are all there are.
        std::lock_guard lock(journalMutex_);
        journal->fd = fd;
        journal->path = path;
        journal->size = static_cast<long long>(first.size());
        journal->refused = refused;
        if (planningFile.empty()) {
            journal->settled = true;
            journal->lines.clear();
        }
    }
    for (const auto& refusal : refused)
        record("no journal " + refusal);
    // A planning's log hears of its places once its own folder was looked at.
    if (planningFile.empty() && !refused.empty())
        failures.push_back(fd >= 0 ? "The treatment log cannot go " + refused.front() + ". It goes into the user's data folder instead, " +
                                         elsewhere().back().folder + ": its journal " + path + " now, the log when navigation ends."
                                   : noPlace(refused));
    logging_ = true;
    if (!planningFile.empty())
        post([this, journal, planningFile, planning] { settle(journal, planningFile, planning); });
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
    std::shared_ptr<Journal> journal;
    {
        std::lock_guard lock(journalMutex_);
        journal = std::exchange(journal_, nullptr);
        if (journal)
            journal->handedOver = true;
    }
    post([this, text = text.str(), journal, planningFile, patientPaths, planning] {
        storeText(text, journal, planningFile, patientPaths, planning);
    });
}
VEXA_RETHROW

// ---- the worker -------------------------------------------------------------------------

void TreatmentLog::post(std::function<void()> job)
{
    std::unique_lock lock(workMutex_);
    jobs_.push_back(std::move(job));
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error& e) {
            // Without a thread the job is done here: a log is not lost for want of one.
            record(std::string("no thread for the treatment log's places: ") + e.what());
            auto here = std::move(jobs_.back());
            jobs_.pop_back();
            lock.unlock();
            here();
            return;
        }
    }
    workChanged_.notify_all();
}

void TreatmentLog::work()
{
    std::unique_lock lock(workMutex_);
    for (;;) {
        workChanged_.wait(lock, [this] { return !jobs_.empty() || ending_; });
        // Ending waits for every job handed over: each holds a log or its journal.
        if (jobs_.empty())
            return;
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        working_ = true;
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            tell({std::string("The treatment log could not be put in its place: ") + e.what()});
        } catch (...) {
            tell({"The treatment log could not be put in its place."});
        }
        lock.lock();
        working_ = false;
        waitingFor_.clear();
        workChanged_.notify_all();
    }
}

std::vector<std::string> TreatmentLog::recover(const std::vector<std::string>& planningLogFolders)
{
    std::vector<std::string> folders = planningLogFolders, told, seen;
    for (const auto& place : elsewhere())
        folders.push_back(place.folder);
    for (const auto& folder : folders) {
        std::error_code error;
        const std::string at = std::filesystem::weakly_canonical(folder, error).string();
        if (error || std::find(seen.begin(), seen.end(), at) != seen.end())
            continue;
        seen.push_back(at);
        std::vector<std::string> journals;
        for (const auto& entry : std::filesystem::directory_iterator(at, error))
            if (entry.path().extension() == ".journal")
                journals.push_back(entry.path().string());
        std::sort(journals.begin(), journals.end());
        for (const std::string& path : journals) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            struct stat there{};
            // Not one a live program holds, nor one so new that its maker may not have locked it yet.
            if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &there) != 0 || !S_ISREG(there.st_mode) ||
                std::time(nullptr) - there.st_mtime < 2) {
                if (fd >= 0)
                    ::close(fd);
                continue;
            }
            std::string lines;
            char buffer[65536];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
                lines.append(buffer, static_cast<std::size_t>(got));
            if (lines.empty()) {
                // Nothing of a log is in it.
                removeIfSame(fd, path);
                ::close(fd);
                continue;
            }
            // Its planning, as its FILE entry names it.
            std::string planningFile;
            const std::string file = "  ACTION: FILE ";
            if (const std::size_t entry = lines.find(file); entry != std::string::npos)
                planningFile = lines.substr(entry + file.size(), lines.find('\n', entry) - entry - file.size());
            std::vector<std::string> places;
            const std::filesystem::path planningFolder = std::filesystem::path(planningFile).parent_path();
            if (std::filesystem::path(planningFile).is_absolute() && std::filesystem::is_directory(planningFolder, error) &&
                makeFolder(planningFolder.string(), "Log").empty())
                places.push_back(planningFolder.string() + "/Log/");
            places.push_back(at + "/");
            const std::string name = std::filesystem::path(path).stem().string() + ".log";
            std::string stored, failure;
            for (const auto& place : places) {
                bool taken = false;
                failure = writeNewFile(place + name, lines, nullptr, &taken);
                if (failure.empty())
                    stored = place + name;
                else if (taken)
                    failure = writeLog(place, lines, stored);
                if (!stored.empty())
                    break;
            }
            if (stored.empty()) {
                record("the journal " + path + " a program left stays: " + failure);
            } else {
                removeIfSame(fd, path);
                told.push_back("The treatment log of a navigation whose program ended before storing it was made from "
                               "its journal " + path + ": it is in " + stored + ".");
            }
            ::close(fd);
        }
    }
    return told;
}

void TreatmentLog::hurry(std::chrono::steady_clock::time_point deadline)
{
    std::lock_guard lock(workMutex_);
    if (!deadline_ || deadline < *deadline_)
        deadline_ = deadline;
}

bool TreatmentLog::isBusy() const
{
    std::lock_guard lock(workMutex_);
    return working_ || !jobs_.empty();
}

std::string TreatmentLog::waitingFor() const
{
    std::lock_guard lock(workMutex_);
    return waitingFor_;
}

void TreatmentLog::setWaiting(const std::string& what)
{
    {
        std::lock_guard lock(workMutex_);
        waitingFor_ = what;
    }
    workChanged_.notify_all();
}

void TreatmentLog::wait(const std::function<void(const std::string&)>& waiting) const
{
    std::unique_lock lock(workMutex_);
    std::string told;
    for (;;) {
        workChanged_.wait(lock, [&] { return (!working_ && jobs_.empty()) || waitingFor_ != told; });
        if (!working_ && jobs_.empty())
            return;
        told = waitingFor_;
        if (waiting && !told.empty()) {
            lock.unlock();
            waiting(told);
            lock.lock();
        }
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
            std::lock_guard lock(log.journalMutex_);
            journal.settled = true;
            journal.lines.clear();
        }
    } settled{*this, *journal};
    Place place = find(planningFile, planning);
    // A journal a killed program left beside this planning becomes its log now.
    if (!place.folder.empty())
        tell(recover({place.folder + "/Log"}));
    {
        // The log was handed over meanwhile: what this look found, the turn held, is where the
        // store puts it; no second wait for the same save.
        std::lock_guard lock(journalMutex_);
        if (journal->handedOver) {
            journal->found = std::make_unique<Place>(std::move(place));
            return;
        }
    }
    std::string cause, moved;
    int fd = -1;
    if (!place.folder.empty()) {
        cause = makeFolder(place.folder, "Log");
        if (cause.empty())
            fd = createUnique(place.folder + "/" + Constants::logFolder, ".journal", moved, cause);
    }
    if (fd >= 0) {
        lockJournal(fd);
        // What was journaled so far goes into the new journal, which then takes the journal's
        // place while the lines that came meanwhile wait in memory; they follow, and the journal
        // takes lines itself again once none waits. No file call is made under the lock the
        // camera's tick takes.
        std::size_t copied = 0;
        int error = 0, old = -1;
        std::string oldPath, more;
        bool switched = false, ended = false;
        {
            std::lock_guard lock(journalMutex_);
            more = journal->lines;
        }
        for (;;) {
            error = Vexa::AtomicFile::writeAll(fd, more);
            if (!error && ::fsync(fd) != 0 && errno != EINVAL)
                error = errno;
            if (error || ended)
                break;
            copied += more.size();
            std::lock_guard lock(journalMutex_);
            if ((ended = journal->ended)) {
                if (!switched)
                    break; // a new log began: what this one journaled stays where it is
                // The new journal is this worker's alone now: it takes the last lines.
                more = journal->lines.substr(copied);
                journal->fd = -1;
                continue;
            }
            if (!switched) {
                old = std::exchange(journal->fd, fd);
                oldPath = std::exchange(journal->path, moved);
                journal->moving = switched = true;
            }
            more = journal->lines.substr(copied);
            if (more.empty()) {
                journal->size = static_cast<long long>(copied);
                journal->failed = journal->moving = false;
                journal->settled = true;
                journal->lines.clear();
                break;
            }
        }
        if (switched && !error) {
            // The new journal holds it all.
            if (ended)
                ::close(fd);
            removeIfSame(old, oldPath);
            if (old >= 0)
                ::close(old);
            return;
        }
        if (switched && !ended) {
            // The new journal failed while it stood in: the old one takes the lines again, those
            // since from memory (a rare write under the lock, to keep them in order).
            std::lock_guard lock(journalMutex_);
            journal->fd = std::exchange(old, -1);
            journal->path = oldPath;
            journal->moving = false;
            if (!journal->failed &&
                Vexa::AtomicFile::writeAll(journal->fd, std::string_view(journal->lines).substr(static_cast<std::size_t>(journal->size))))
                journal->failed = true;
        }
        if (old >= 0)
            ::close(old);
        ::unlink(moved.c_str());
        ::close(fd);
        if (!error)
            return; // a new log began meanwhile; this one's journal stays where it is
        cause = moved + " cannot be written (" + Vexa::reasonOf(error) + ")";
        if (ended)
            return;
    }
    std::string journalAt;
    std::vector<std::string> refused;
    {
        std::lock_guard lock(journalMutex_);
        if (journal->fd >= 0 && !journal->failed)
            journalAt = journal->path;
        refused = journal->refused;
    }
    std::string where;
    if (journalAt.empty() && refused.empty())
        where = "What is logged is kept in memory and written when navigation ends, beside the program or, where that "
                "cannot take it, into the user's data folder.";
    else if (refused.empty())
        where = "It goes beside the program instead, into " + programLogFolder() + ": its journal " + journalAt +
                " now, the log when navigation ends.";
    else if (!journalAt.empty())
        where = "Nor can it go " + refused.front() + ". It goes into the user's data folder instead, " +
                elsewhere().back().folder + ": its journal " + journalAt + " now, the log when navigation ends.";
    else
        where = noPlace(refused);
    if (place.folder.empty())
        tell({"The planning " + place.loadedFolder + " is no longer there, and no planning that replaces it was found. " +
              where});
    else
        tell({"The treatment log cannot go into the planning's folder " + place.folder + ": " + cause + ". " + where});
}

std::string TreatmentLog::writeLog(const std::string& folder, const std::string& text, std::string& file) const
{
    try {
        const std::string path = folder + Utilities::getUniqueFilename(folder) + ".log";
        const std::string failure = writeNewFile(path, text);
        if (failure.empty())
            file = path;
        return failure;
    } catch (const std::exception& e) {
        return "no log can be written into " + folder + " (" + e.what() + ")";
    }
}

void TreatmentLog::storeText(const std::string& text, const std::shared_ptr<Journal>& journal,
                             const std::string& planningFile, const std::vector<std::string>& patientPaths,
                             const std::shared_ptr<const Settings>& planning)
{
    std::vector<std::string> told;
    std::unique_ptr<Place> found;
    if (journal) {
        std::lock_guard lock(journalMutex_);
        found = std::move(journal->found);
    }
    const Place place = found ? std::move(*found) : find(planningFile, planning);
    // Beside the program, else in the user's data folder: the log of no planning, of one that is
    // nowhere, or of one whose folder cannot take it. What the user reads after "<lead>. ".
    std::string stored;
    const auto keptWhere = [this](const std::string& file) {
        return file.rfind(programLogFolder() + "/", 0) == 0 ? "beside the program" : "in the user's data folder";
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
    if (!place.planned) {
        if (const auto refused = keepElsewhere(text, stored); !refused.empty()) {
            placeTold = told.size();
            // Only beside the program is where such a log belongs: the first refusal is its.
            const std::string first = refused.front().substr(refused.front().find(": ") + 2);
            const std::string then = elsewhereText({refused.begin() + 1, refused.end()}, stored);
            told.push_back("The treatment log cannot be written into " + programLogFolder() + ": " + first + "." +
                           (then.empty() ? "" : " " + then));
        }
    } else if (place.folder.empty()) {
        const auto refused = keepElsewhere(text, stored);
        placeTold = told.size();
        told.push_back("The planning " + place.loadedFolder + " is no longer there, and no planning that replaces it was found" +
                       (refused.empty() ? ": the treatment log is kept in " + stored + "." : ". " + elsewhereText(refused, stored)));
    } else {
        std::string cause = makeFolder(place.folder, "Log");
        if (cause.empty())
            cause = writeLog(logs, text, stored);
        if (!cause.empty()) {
            const auto refused = keepElsewhere(text, stored);
            placeTold = told.size();
            told.push_back("The treatment log cannot go into the planning's folder " + place.folder + ": " + cause + ". " +
                           elsewhereText(refused, stored));
        }
    }
    bool everyCopy = !stored.empty();
    const bool storedElsewhere = !stored.empty() && stored.rfind(logs, 0) != 0;
    std::string copy;

    const std::string first = patientPaths.empty() ? std::string() : patientPaths.front();
    if (!first.empty() && QDir::isAbsolutePath(QString::fromStdString(first))) {
        std::string name = Constants::studyDummyFolder;
        name.pop_back(); // its "/"
        const std::string study = first + "/" + name + "/";
        // The patient folder too, before its first planning, as a save makes it.
        Utilities::makeAbsDir(first);
        std::string cause = makeFolder(first, name);
        const std::string dummy = study + Constants::studyDummyFile;
        // Written once, whole: a cut one would never be written again. One that cannot be
        // made at all is skipped, as before; one that fails on the way is told.
        if (cause.empty() && !QFileInfo::exists(QString::fromStdString(dummy))) {
            bool created = false, taken = false;
            const std::string failure = writeNewFile(dummy, "[Patient]\nname = Morvanta Study Dummy\nbirthday = 18991230\n"
                                                            "sex = \nid = Dummy\n[Planningdata]\nversion = P100.0.0\n"
                                                            "lastModified = 01/01/2004 00:00:00\nimplantregion = 0\n"
                                                            "[Implant]\nimplant = 0\n", &created, &taken);
            // Another instance's dummy, written meanwhile, is as good as this one.
            if (created && !failure.empty() && !taken)
                told.push_back("The study's dummy planning cannot be written: " + failure + ".");
        }
        if (cause.empty())
            cause = makeFolder(study.substr(0, study.size() - 1), "Log");
        if (cause.empty())
            cause = writeLog(study + Constants::logFolder, text, copy);
        if (!cause.empty()) {
            const std::string lead = "The study copy of the treatment log cannot go into " + study + "Log: " + cause;
            // Never the same log twice in one folder.
            if (storedElsewhere) {
                told.push_back(lead + ". The treatment log kept " + keptWhere(stored) + ", " + stored + ", stands for it.");
            } else {
                std::string besideCopy;
                const auto refused = keepElsewhere(text, besideCopy);
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

    // The journal handed over is the worker's alone: removed or kept without the lock the
    // camera's tick takes.
    if (journal) {
        Journal done;
        {
            std::lock_guard lock(journalMutex_);
            done.fd = std::exchange(journal->fd, -1);
            done.path = journal->path;
            done.size = journal->size;
        }
        if (everyCopy)
            done.remove(logs);
        else if (done.fd >= 0 && done.size > 0)
            told.push_back("What was logged stays in the journal " + done.where() + ".");
        else if (stored.empty() && copy.empty())
            told.push_back("Nothing of this treatment log could be kept.");
        done.close(!everyCopy);
    }
    tell(told);
}
