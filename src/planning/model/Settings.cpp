#include "planning/model/Settings.h"

#include "planning/model/Utilities.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"

#include <QString>

Settings::Settings(const std::string& iniFile) : iniFile_(iniFile)
{
}

Settings::~Settings() = default;

std::shared_ptr<const Settings> Settings::snapshot() const
{
    auto copy = std::make_shared<Settings>(iniFile_);
    std::lock_guard lock(mutex_);
    copy->planningFile_ = planningFile_;
    copy->planningOrigin_ = planningOrigin_;
    copy->planningOwnFiles_ = planningOwnFiles_;
    copy->planningIdentity_ = planningIdentity_;
    copy->planningState_ = planningState_;
    copy->markerDetectionDone_ = markerDetectionDone_;
    return copy;
}

void Settings::reset() try
{
    std::lock_guard lock(mutex_);
    planningFile_.clear();
    planningOrigin_.clear();
    planningOwnFiles_.clear();
    planningIdentity_.clear();
    planningState_ = 0;
    markerDetectionDone_ = false;
}
VEXA_RETHROW

std::string Settings::readValue(const std::string& key) const try
{
    // Opened per request so that an edited file counts at once; the file is tiny.
    const Vexa::IniFileManager ini(iniFile_, Vexa::IniFileManager::ReadOnly);
    return ini.getValue(group, key, std::string());
}
VEXA_RETHROW

bool Settings::getCaptureSupport() const try
{
    const QString value = QString::fromStdString(readValue("CaptureSupport")).trimmed().toLower();
    return value == "1" || value == "true" || value == "yes" || value == "on";
}
VEXA_RETHROW

std::string Settings::getCdpath() const try
{
    return readValue("Cdpath");
}
VEXA_RETHROW

std::string Settings::getNavigationPort() const try
{
    const std::string port = readValue("SerialPort");
    return port.empty() ? "COM1" : port;
}
VEXA_RETHROW

std::vector<std::string> Settings::getPatientPaths() const try
{
    std::vector<std::string> paths;
    for (const std::string& part : Utilities::splitEnumeration(readValue("PatientPath"), ";")) {
        // Blanks around an entry are typing slips, and an empty entry would make the
        // "first patient folder" the working folder.
        const std::string path = QString::fromStdString(part).trimmed().toStdString();
        if (!path.empty())
            paths.push_back(path);
    }
    return paths;
}
VEXA_RETHROW

std::string Settings::getPlanningFile() const try
{
    std::lock_guard lock(mutex_);
    return planningFile_;
}
VEXA_RETHROW

void Settings::setPlanningFile(const std::string& file) try
{
    std::lock_guard lock(mutex_);
    planningFile_ = file;
}
VEXA_RETHROW

std::string Settings::getPlanningOrigin() const try
{
    std::lock_guard lock(mutex_);
    return planningOrigin_;
}
VEXA_RETHROW

std::vector<std::string> Settings::getPlanningOwnFiles() const
{
    std::lock_guard lock(mutex_);
    return planningOwnFiles_;
}

void Settings::setPlanningOwnFiles(std::vector<std::string> files)
{
    std::lock_guard lock(mutex_);
    planningOwnFiles_ = std::move(files);
}

std::string Settings::getPlanningIdentity() const
{
    std::lock_guard lock(mutex_);
    return planningIdentity_;
}

void Settings::setPlanningIdentity(const std::string& identity)
{
    std::lock_guard lock(mutex_);
    planningIdentity_ = identity;
}

void Settings::setPlanningOrigin(const std::string& origin) try
{
    std::lock_guard lock(mutex_);
    planningOrigin_ = origin;
}
VEXA_RETHROW

int Settings::getPlanningState() const
{
    std::lock_guard lock(mutex_);
    return planningState_;
}

void Settings::setPlanningState(int state)
{
    std::lock_guard lock(mutex_);
    planningState_ = state;
}

bool Settings::isMarkerDetectionDone() const
{
    std::lock_guard lock(mutex_);
    return markerDetectionDone_;
}

void Settings::setMarkerDetectionDone(bool done)
{
    std::lock_guard lock(mutex_);
    markerDetectionDone_ = done;
}
