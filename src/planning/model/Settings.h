#pragma once
// The program settings of the ini file and the run-time state of the current planning.
//
// Ini values are read from the file (group "Morvanta") on every request, so an edited file
// counts at once; a missing file or key gives 0, false or an empty text. The run-time fields
// are written by worker jobs (planning load and save, DICOM import) while the GUI reads them,
// so they are guarded.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Settings
{
public:
    static constexpr const char* group = "Morvanta";

    // Keeps the path; run-time fields at their defaults (planning state 0).
    explicit Settings(const std::string& iniFile);
    virtual ~Settings();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    const std::string& getIniFile() const { return iniFile_; }
    // Settings of their own with the same ini file and the run-time fields as they are now: the
    // planning as known at this moment, for work that runs later on another thread.
    std::shared_ptr<const Settings> snapshot() const;

    // Run-time fields back to their defaults: planning state 0, no planning file and origin,
    // marker detection not done.
    virtual void reset();

    // "CaptureSupport": "1", "true", "yes" or "on" (any case) is true, everything else false.
    bool getCaptureSupport() const;
    // "Cdpath": the start folder of the DICOM import dialog.
    std::string getCdpath() const;
    // "PatientPath" split at ";", empty entries dropped (a missing key gives no entry).
    std::vector<std::string> getPatientPaths() const;
    // "SerialPort": the tracking camera's serial port ("COMn" or a device path), the key the
    // main window's camera search reads; "COM1" when the key is missing or empty.
    std::string getNavigationPort() const;

    // The current planning file; empty before any load or save.
    std::string getPlanningFile() const;
    void setPlanningFile(const std::string& file);
    // The name of the folder the current planning was first saved in (it stays with the
    // planning through every overwrite); empty before any load or save.
    std::string getPlanningOrigin() const;
    void setPlanningOrigin(const std::string& origin);
    // The files the current planning's file named when it was loaded or saved, relative to its
    // folder: what an overwrite retires of it, should that file be gone by then.
    std::vector<std::string> getPlanningOwnFiles() const;
    void setPlanningOwnFiles(std::vector<std::string> files);
    // What tells the current planning's file from any other (its size and contents' hash, as
    // it was loaded or saved): the planning is found by it should its folder be moved.
    std::string getPlanningIdentity() const;
    void setPlanningIdentity(const std::string& identity);
    // 0 no data, 1 after a DICOM import, 2 after loading or saving a planning.
    int getPlanningState() const;
    void setPlanningState(int state);
    bool isMarkerDetectionDone() const;
    void setMarkerDetectionDone(bool done);

private:
    std::string readValue(const std::string& key) const;

    const std::string iniFile_;
    mutable std::mutex mutex_;
    std::string planningFile_;
    std::string planningOrigin_;
    std::vector<std::string> planningOwnFiles_;
    std::string planningIdentity_;
    int planningState_ = 0;
    bool markerDetectionDone_ = false;
};
