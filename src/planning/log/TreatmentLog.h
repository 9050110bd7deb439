#pragma once
// The treatment log of one navigation: timed entries (start, patient, planning file,
// calibrations, drill registrations), a window of the 4 newest drill samples, and per implant
// an automatic table of drill positions by half-millimetre depth and a list of user-marked
// positions. The Model owns it and calls it under its own lock.
//
// Nothing logged is lost: every entry and record goes, in order and flushed, into a journal
// ("<name>.journal"), written by a thread of the journal's own: the caller (the camera's tick)
// only queues the line and never waits for a file call, so that a patient folder on a file server
// that stops answering never holds the guidance. Lines the journal has not taken yet are kept in
// memory until it takes them (`stall` tells since when it has not). Storing writes the log file aside, gives it its final name only when no file
// has that name, and removes the journal only when every copy was written. Before the log, or the
// journal that takes the lines over, has its name, the journal's last line names it: a start only
// removes such a journal, so that a kill at any step leaves one log of a surgery. A journal that can no
// longer be written (a full disk) keeps its whole lines and takes no more; the log goes on in
// memory and is still stored at the end.
//
// Where the log goes is looked for on a worker thread of the log's own, never on the caller's:
// the look takes the planning's turn (PlanningPlace), which may wait for another instance's save.
// The journal starts at once in the data folder's "Log" folder, beside the program; the worker
// then moves it, with every line journaled so far, into the "Log" folder of the folder that holds
// the planning. Storing composes the log text at once and hands it to the worker, which writes
// it into the folder that holds the planning then (another instance may have replaced the
// planning meanwhile, moving the "Log" folder with the open journal along); only the "Log" folder
// is ever made there, never the planning's. Where the planning is nowhere any more, or its folder
// cannot take the log (another user's folder, a full disk), the journal and the log stay beside
// the program, and the user is told where and why; the study copy likewise, though never a second
// copy of the same log in the same folder. Where the program's folder cannot take them either (an
// installed program's folder, a full disk), they go into the user's own data folder
// ($XDG_DATA_HOME/Morvanta/Log), else into the study folder of the first patient path
// (MorvantaStudyDummy/Log); where no place can, the user is told so when logging starts.
// Every file and folder made follows the user's umask; no link is followed where a journal or a
// log is made (a "Log" that is a link is a folder that cannot take them). A journal is locked
// (flock) from the moment it is made, before it has its name, while its log lives: one without
// the lock was left by a program that ended without storing (`recover`).
// The worker does its work in the order it was handed; ending the log waits for all of it, but
// never for a folder that does not answer: where the worker's file call has not returned for
// `answerBound` (a file server down), a log handed over is kept beside the program instead (else
// in the user's data folder), the user is told where, and the journal goes once its folder
// answers again. The threads work on a side of the log that they share (`side_`): one held in a
// file call that never returns is left to the process's end (Vexa::DetachableCall), never joined.
//
// The calibration accuracy files "CalibrationOK.txt" and "CalibrationUK.txt" lie in the data
// folder given to the constructor; one entry line is appended per accepted calibration.
#include "planning/log/ActionLogEntry.h"
#include "planning/log/DrillDifference.h"
#include "planning/log/DrillPositions.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/model/Constants.h"
#include "vexa/core/DetachableCall.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Implant;
class Settings;

class TreatmentLog
{
public:
    using ImplantPtr = std::shared_ptr<Implant>;
    using Accuracy = std::pair<double, double>;
    // Hears, in the thread they arise in (the worker's among them), the texts the user is to
    // read. Without one they wait for `takeFailures`.
    using Report = std::function<void(const std::vector<std::string>&)>;
    static constexpr std::size_t windowSize = 4;

    // `notice` hears what tells of something done rather than of a failure (the log made from a
    // killed program's journal); without one, `report` does.
    explicit TreatmentLog(std::string dataFolder, Report report = {}, Report notice = {});
    // Waits for whatever the worker still has to do, and for the journal to take its lines,
    // except where a folder does not answer (see above).
    ~TreatmentLog();
    TreatmentLog(const TreatmentLog&) = delete;
    TreatmentLog& operator=(const TreatmentLog&) = delete;

    // `planning` below: the planning as the settings knew it when logging started or ended (a copy
    // that no later load changes); the worker looks for where it is then (PlanningPlace). Without
    // one, the log goes into the planning file's folder as it stands; without a planning file,
    // beside the program.

    // Clears the entries and tables, adds "START TREATMENT", "PATIENT name", "FILE path", a
    // table per implant (limit: its length) and the jaw's stored calibration accuracy; starts
    // the journal and hands the look for its place to the worker. Failures (no journal where the
    // log of no planning goes) are returned.
    std::vector<std::string> start(const QString& patientName, const std::string& planningFile,
                                   const std::vector<ImplantPtr>& implants, Constants::Jaw jaw,
                                   std::shared_ptr<const Settings> planning = nullptr);
    bool isLogging() const { return logging_; }

    // One sample of the nearest implant: into the window, then the window's statistics into
    // the implant's automatic table.
    void logSample(const ImplantPtr& implant, const DrillDifference& sample);
    // No implant near: the window is emptied, so a later mark never logs an old position.
    void clearWindow();
    // The window's statistics appended to the implant's user list; false when the window is
    // empty or names more than one implant.
    bool logUserDefinedState();

    void logCalibrationStart(bool manually, Constants::Jaw jaw);
    // The entry "CALIBRATION OK|UK BC: ..." for the calibration's jaw, also appended to that
    // jaw's accuracy file. A failure to append is returned.
    std::vector<std::string> logCalibration(const Accuracy& before, const Accuracy& during, const Accuracy& after,
                                            Constants::Jaw jaw);
    void logRegistration(double visualizedDrillLength);

    // The texts told since the last call where no Report is installed; each is returned once.
    std::vector<std::string> takeFailures();

    // The log text (C locale), for the implants in list order.
    void write(std::ostream& out, const std::vector<ImplantPtr>& implants) const;
    // Composes the log text, empties the window, ends logging, and hands the text to the worker,
    // which writes it where the planning is then and, when the first patient path is an absolute
    // folder, the study copy; failures, and where a log that could not go into its planning was
    // kept, are told.
    void store(const std::string& planningFile, const std::vector<std::string>& patientPaths,
               const std::vector<ImplantPtr>& implants, std::shared_ptr<const Settings> planning = nullptr);

    // Makes every journal of this user's that a program which ended without storing left (none
    // holds its lock, and it still has its name once locked here) in the planning's "Log" folders
    // given, the program's, the user's and the study folder's into the log it stands for: its
    // lines, as "<its name>.log" (a name that follows from the journal's, so that no journal gets
    // two logs). A journal in a planning's "Log" folder gets it beside it; one elsewhere in the
    // "Log" folder of the planning its FILE entry names, where that lies below the patient folders
    // (found as a reload finds it), else beside it. Another user's journals, one larger than a
    // navigation writes and one with holes are left. Throws nothing, waits for nobody, and may run
    // on any thread. Returns what the user is to read, once per journal; a log an earlier start
    // made of a journal it was killed before removing is told too. A journal whose last line names
    // its log stored, or the journal its lines went on to, only goes; that line counts only where
    // what it names begins as the journal does and lies in the journal's own "Log" folder, its
    // planning's where that is now, or the place elsewhere it names; any other last line, and one
    // cut short, is left out of the log. Where what it names cannot be looked at (an error, never
    // "not there"), the journal and its last line stay for a later start, told in one line. A file
    // with more than one name is left (the NFS client's ".nfs…" names of it and its temporary name
    // are its own); temporary files of journals and logs that a killed program left go as the
    // saving's do (HolderFile::removeTemporary). Once `stop` says so, the journal being copied and
    // the rest are left for the next start.
    std::vector<std::string> recover(const std::vector<std::string>& planningLogFolders = {},
                                     const std::vector<std::string>& patientPaths = {},
                                     const std::function<bool()>& stop = {}) const;
    // For tests: journals larger than `bytes` are left (0: the bound, a day of navigation).
    static void setLargestJournal(std::uintmax_t bytes);

    // From now on every look for a planning's place waits at most until `deadline`, all of them
    // together (quitting, which waits for the store).
    void hurry(std::chrono::steady_clock::time_point deadline);

    // How long a file call of the worker may go without returning before a log handed over is
    // kept elsewhere.
    static constexpr std::chrono::seconds answerBound{4};

    // Where the journal has had lines waiting for `answerBound` or longer: the folder it waits
    // for and since when (wall clock). Any thread; never waits for a file call.
    struct Stall
    {
        std::string folder;
        std::time_t since = 0;
    };
    std::optional<Stall> stall() const;

    // Whether the worker still has a look or a store to finish (one held by a folder that does
    // not answer counts no longer once its logs are kept elsewhere).
    bool isBusy() const;
    // What the worker waits for now ("the save of this planning by the computer X"); empty when
    // it waits for nobody.
    std::string waitingFor() const;
    // Returns once the journal has taken every line queued so far (or failed to).
    void flushJournal() const;
    // Returns once the worker has done everything handed to it so far, and the journal has taken
    // every line, or once the worker is held by a folder that does not answer and every log handed
    // over is kept elsewhere; `waiting` hears what it waits for meanwhile, each time that changes.
    void wait(const std::function<void(const std::string&)>& waiting = {}) const;

    const std::vector<ActionLogEntry>& getCalibrationEntries() const { return calibrationEntries_; }
    std::string accuracyFile(Constants::Jaw jaw) const;

private:
    struct Journal;
    struct Place;
    struct Handed;
    struct Told;
    struct Side
    {
    };
    // The side the threads share: no threads of its own.
    TreatmentLog(std::string dataFolder, Report report, Report notice, std::shared_ptr<Told> told, Side);
    TreatmentLog& side() { return side_ ? *side_ : *this; }
    const TreatmentLog& side() const { return side_ ? *side_ : *this; }

    void addEntry(std::vector<ActionLogEntry>& entries, const QString& action);
    // Queues the line for the journal's writer (side).
    void journal(const std::string& line);
    void loadJawCalibrationAccuracy(Constants::Jaw jaw);
    DrillDifference windowStatistics() const;
    void tell(const std::vector<std::string>& texts);
    void tellNotice(const std::vector<std::string>& texts);

    // The threads (started by the log, run on the side).
    void post(std::function<void()> job, std::shared_ptr<Handed> handed = nullptr);
    void startWriter();
    // The writer: writes the queued lines into their journals, in order.
    void writeJournals();
    // Queues `lines` for `journal`; with `close`, the journal is synced and closed after them.
    void queue(const std::shared_ptr<Journal>& journal, const std::string& lines, bool close = false);
    // Returns once no line of `journal` waits for the writer.
    void waitForWriter(const Journal& journal) const;
    void work(const std::shared_ptr<TreatmentLog>& self);
    // Keeps every log handed over and not stored yet elsewhere (the worker is held).
    void keepHanded(const std::shared_ptr<TreatmentLog>& self, std::chrono::steady_clock::time_point heldSince);
    void keepAside(Handed& handed, std::chrono::steady_clock::time_point heldSince);
    bool waitDone() const;

    // The worker's side.
    void setWaiting(const std::string& what);
    Place find(const std::string& planningFile, const std::shared_ptr<const Settings>& planning);
    void settle(const std::shared_ptr<Journal>& journal, const std::string& planningFile,
                const std::shared_ptr<const Settings>& planning);
    void storeText(Handed& handed, const std::shared_ptr<Journal>& journal, const std::shared_ptr<const Settings>& planning);
    // Writes the text as a new log file into `folder` (with its trailing "/"); the cause of a
    // failure, else empty with the file written in `file`.
    // `journal`, where given, names the log as its last line before the log has its name.
    std::string writeLog(const FolderHandle& folder, const std::string& text, std::string& file,
                         Journal* journal = nullptr) const;
    // The data folder's "Log" folder, without a trailing "/".
    std::string programLogFolder() const;
    // The places a log goes where its planning's folder cannot take it, in order.
    struct Elsewhere
    {
        std::string folder; // its "Log" folder, without a trailing "/"
        std::string where;  // how the user hears of it
        std::string into;   // how the user hears of it as a place to go
        bool parents;       // the folders above "Log" are made where missing
    };
    // Beside the program, in the user's data folder, and in the study folder of the first patient
    // path (the shared MorvantaStudyDummy/Log), where that is an absolute folder.
    std::vector<Elsewhere> elsewhere(const std::vector<std::string>& patientPaths) const;
    // "It goes ... instead, <folder>: its journal <journal> now, ...": the place elsewhere `index`.
    std::string goesElsewhere(std::size_t index, const std::vector<std::string>& patientPaths,
                              const std::string& journal) const;
    // A new journal holding `lines` in the first place elsewhere that takes it (`path`), locked
    // before it has its name; why each place before it refused, as "<where>: <cause>".
    std::optional<FolderHandle::File> journalElsewhere(const std::string& lines, const std::vector<std::string>& patientPaths,
                                                       std::string& path, std::vector<std::string>& refusals) const;
    // The log written into the first place elsewhere that takes it (`file`); why each refused.
    std::vector<std::string> keepElsewhere(const std::string& text, const std::vector<std::string>& patientPaths,
                                           std::string& file, Journal* journal = nullptr) const;
    // recover for the journal `name` in `folder`; what the user is to read goes into `told`.
    void recoverJournal(const FolderHandle& folder, const std::string& name, bool inPlanning,
                        const std::vector<std::string>& patientPaths, std::vector<std::string>& told,
                        const std::function<bool()>& stop) const;

    const std::string dataFolder_;
    const Report report_;
    const Report notice_;
    std::vector<ActionLogEntry> treatmentEntries_;
    std::vector<ActionLogEntry> calibrationEntries_;
    std::map<ImplantPtr, DrillPositions> automatic_;
    std::map<ImplantPtr, std::vector<DrillDifference>> userDefined_;
    std::deque<DrillDifference> window_; // newest first
    bool logging_ = false;
    std::string* starting_ = nullptr; // the first lines of a journal being made

    // ---- the side's (side_ of the log) -------------------------------------------------------
    // The journal being written, the lines queued for the writer and the texts not yet taken:
    // taken by each line queued (the camera's tick), never across a file call.
    mutable std::mutex linesMutex_;
    mutable std::condition_variable linesChanged_;
    std::shared_ptr<Journal> journal_;
    struct Lines
    {
        std::shared_ptr<Journal> journal;
        std::string lines;
        bool close = false;
        std::chrono::steady_clock::time_point since; // when the first of them was queued
        std::time_t sinceAt = 0;
    };
    std::deque<Lines> lineQueue_;
    struct InHand
    {
        const Journal* journal;
        std::chrono::steady_clock::time_point since;
        std::time_t sinceAt;
    };
    std::optional<InHand> inHand_; // the lines being written
    bool writerAlive_ = false;
    bool writerEnding_ = false;
    std::vector<std::string> failures_; // not yet taken

    // The worker's jobs, in order.
    mutable std::mutex workMutex_;
    mutable std::condition_variable workChanged_;
    struct Job
    {
        std::function<void()> run;
        std::shared_ptr<Handed> handed; // a store's
    };
    std::deque<Job> jobs_;
    std::vector<std::shared_ptr<Handed>> handed_; // the stores not done yet
    bool working_ = false;
    bool ending_ = false;
    std::optional<std::chrono::steady_clock::time_point> heldSince_; // the job's call out, not waiting for a turn
    bool givenUp_ = false; // the job is held by a folder that does not answer
    std::string waitingFor_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    // The journals left as no journal of this program's, told once: by the log and its side alike.
    struct Told
    {
        std::mutex mutex;
        std::vector<std::string> left;
    };
    std::shared_ptr<Told> told_;
    std::mutex& toldMutex_;
    std::vector<std::string>& toldLeft_;

    // ---- the log's own ------------------------------------------------------------------------
    std::shared_ptr<TreatmentLog> side_;
    std::thread worker_;
    std::unique_ptr<Vexa::DetachableCall> writer_;
};
