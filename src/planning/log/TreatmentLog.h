#pragma once
// The treatment log of one navigation: timed entries (start, patient, planning file,
// calibrations, drill registrations), a window of the 4 newest drill samples, and per implant
// an automatic table of drill positions by half-millimetre depth and a list of user-marked
// positions. The Model owns it and calls it under its own lock.
//
// Nothing logged is lost: every entry and record goes at once, flushed, into a journal beside
// the log ("<name>.journal" in the planning's "Log" folder); storing writes the log file aside,
// gives it its final name only when no file has that name, and removes the journal only when
// every copy was written. Failures are returned as texts for the user. A journal that can no
// longer be written (a full disk) keeps its whole lines and takes no more; the log goes on in
// memory and is still stored at the end.
//
// The log goes into the folder that holds its planning when it is stored (another instance may
// have replaced the planning meanwhile, moving the "Log" folder with the open journal along);
// only the "Log" folder is ever made there, never the planning's. The log of a planning that is
// nowhere any more goes into the data folder's "Log" folder, and the user is told where. Every
// file and folder made follows the user's umask.
//
// The calibration accuracy files "CalibrationOK.txt" and "CalibrationUK.txt" lie in the data
// folder given to the constructor; one entry line is appended per accepted calibration.
#include "planning/log/ActionLogEntry.h"
#include "planning/log/DrillDifference.h"
#include "planning/log/DrillPositions.h"
#include "planning/model/Constants.h"

#include <QString>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class Implant;

class TreatmentLog
{
public:
    using ImplantPtr = std::shared_ptr<Implant>;
    using Accuracy = std::pair<double, double>;
    static constexpr std::size_t windowSize = 4;

    explicit TreatmentLog(std::string dataFolder);
    ~TreatmentLog();
    TreatmentLog(const TreatmentLog&) = delete;
    TreatmentLog& operator=(const TreatmentLog&) = delete;

    // `planningFolder` below: the folder that holds the planning now (PlanningPlace), empty where
    // none does; when not given, the planning file's folder.

    // Clears the entries and tables, adds "START TREATMENT", "PATIENT name", "FILE path", a
    // table per implant (limit: its length) and the jaw's stored calibration accuracy; opens
    // the journal in the planning's "Log" folder. Failures (no journal) are returned.
    std::vector<std::string> start(const QString& patientName, const std::string& planningFile,
                                   const std::vector<ImplantPtr>& implants, Constants::Jaw jaw,
                                   const std::optional<std::string>& planningFolder = std::nullopt);
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

    // Failures met while logging (the journal could not be written) since the last call; each
    // is returned once.
    std::vector<std::string> takeFailures();

    // The log text (C locale), for the implants in list order.
    void write(std::ostream& out, const std::vector<ImplantPtr>& implants) const;
    // Writes the log into the planning's "Log" folder and, when the first patient path is an
    // absolute folder, the study copy; empties the window; ends logging. Failures, and where the
    // log of a planning that is nowhere was kept, are returned.
    std::vector<std::string> store(const std::string& planningFile, const std::vector<std::string>& patientPaths,
                                   const std::vector<ImplantPtr>& implants,
                                   const std::optional<std::string>& planningFolder = std::nullopt);

    const std::vector<ActionLogEntry>& getCalibrationEntries() const { return calibrationEntries_; }
    std::string accuracyFile(Constants::Jaw jaw) const;
    // The "Log" folder (with its trailing "/") of the planning, or of the data folder where there
    // is no planning or it is nowhere.
    std::string logFolder(const std::string& planningFile, const std::optional<std::string>& planningFolder) const;

private:
    void addEntry(std::vector<ActionLogEntry>& entries, const QString& action);
    void journal(const std::string& line);
    void loadJawCalibrationAccuracy(Constants::Jaw jaw);
    DrillDifference windowStatistics() const;

    const std::string dataFolder_;
    std::vector<ActionLogEntry> treatmentEntries_;
    std::vector<ActionLogEntry> calibrationEntries_;
    std::map<ImplantPtr, DrillPositions> automatic_;
    std::map<ImplantPtr, std::vector<DrillDifference>> userDefined_;
    std::deque<DrillDifference> window_; // newest first
    bool logging_ = false;
    void closeJournal(bool keep);
    // Removes the journal wherever it is now; `logFolder`: where the log was stored.
    void removeJournal(const std::string& logFolder) const;

    int journal_ = -1;
    std::string journalPath_;
    long long journalSize_ = 0; // bytes of whole lines in the journal
    bool journalFailed_ = false;
    std::vector<std::string> failures_; // not yet taken
};
