#include "planning/log/TreatmentLog.h"

#include "planning/log/DrillLog.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>
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

std::string errorText()
{
    return std::strerror(errno);
}

// Writes `text` into `path` without ever replacing a file: first into a new file beside it,
// synced, then linked to `path`, which fails when the name is taken. Empty on success;
// `created` tells whether a file could be made there at all.
std::string writeNewFile(const std::string& path, const std::string& text, bool* created = nullptr)
{
    std::string aside;
    const int fd = Vexa::AtomicFile::createTemporaryBeside(path, aside, O_WRONLY);
    if (created)
        *created = fd >= 0;
    if (fd < 0)
        return "cannot create " + aside + ": " + errorText();
    int error = Vexa::AtomicFile::writeAll(fd, text);
    if (!error && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    if (::close(fd) != 0 && !error && errno != EINTR)
        error = errno;
    std::string failure;
    if (error)
        failure = Vexa::AtomicFile::failureText(path, error);
    else if (::link(aside.c_str(), path.c_str()) != 0)
        failure = "cannot write " + path + ": " + (errno == EEXIST ? std::string("the name is taken") : errorText());
    ::unlink(aside.c_str());
    return failure;
}

void record(const std::string& failure)
{
    Platform::outputDebugString(std::string("TreatmentLog: ") + failure + "\n");
}

}

TreatmentLog::TreatmentLog(std::string dataFolder) : dataFolder_(std::move(dataFolder)) {}

TreatmentLog::~TreatmentLog()
{
    closeJournal(true);
}

void TreatmentLog::closeJournal(bool keep)
{
    if (journal_ < 0)
        return;
    // A journal that stays is all there is of an unstored log: it reaches the disk.
    if (keep)
        ::fsync(journal_);
    ::close(journal_);
    journal_ = -1;
}

void TreatmentLog::removeJournal(const std::string& logFolder) const
{
    // A take-over of the planning's folder moves the "Log" folder, the open journal in it, into
    // the planning that replaces it: the journal goes from where it is now, and only while that
    // name is still this very file.
    struct stat own{};
    if (journal_ < 0 || ::fstat(journal_, &own) != 0 || own.st_nlink == 0)
        return;
    std::vector<std::string> places;
    char now[PATH_MAX];
    const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(journal_)).c_str(), now, sizeof now - 1);
    if (length > 0)
        places.emplace_back(now, static_cast<std::size_t>(length));
    places.push_back(journalPath_);
    places.push_back(logFolder + QFileInfo(QString::fromStdString(journalPath_)).fileName().toStdString());
    for (const std::string& place : places) {
        struct stat there{};
        if (::lstat(place.c_str(), &there) == 0 && there.st_dev == own.st_dev && there.st_ino == own.st_ino) {
            if (::unlink(place.c_str()) != 0)
                record("cannot remove the journal " + place + ": " + errorText());
            return;
        }
    }
}

std::vector<std::string> TreatmentLog::takeFailures()
{
    return std::exchange(failures_, {});
}

std::string TreatmentLog::logFolder(const std::string& planningFile,
                                    const std::optional<std::string>& planningFolder) const
{
    // Without a planning the log goes to the data folder, never to the working directory.
    if (planningFile.empty() || (planningFolder && planningFolder->empty()))
        return dataFolder_ + "/" + Constants::logFolder;
    const std::string folder =
        planningFolder ? *planningFolder : QFileInfo(QString::fromStdString(planningFile)).path().toStdString();
    return folder + "/" + Constants::logFolder;
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
    if (journal_ < 0 || journalFailed_)
        return;
    if (const int error = Vexa::AtomicFile::writeAll(journal_, line)) {
        // The journal keeps its whole lines; a later line would leave a gap, so none follows.
        journalFailed_ = true;
        [[maybe_unused]] const int cut = ::ftruncate(journal_, journalSize_);
        const std::string failure = Vexa::AtomicFile::failureText(journalPath_, error) +
                                    " The treatment log goes on in memory and is written when navigation ends.";
        record(failure);
        failures_.push_back(failure);
        return;
    }
    journalSize_ += static_cast<long long>(line.size());
}

std::vector<std::string> TreatmentLog::start(const QString& patientName, const std::string& planningFile,
                                             const std::vector<ImplantPtr>& implants, Constants::Jaw jaw,
                                             const std::optional<std::string>& planningFolder) try
{
    std::vector<std::string> failures;
    closeJournal(true);
    journalFailed_ = false;
    journalSize_ = 0;
    failures_.clear();
    try {
        const std::string folder = logFolder(planningFile, planningFolder);
        journalPath_ = folder + Utilities::getUniqueFilename(folder) + ".journal";
        // What the user's umask leaves of 0666, as for every file the user makes (the patient
        // folder may be a group's).
        journal_ = ::open(journalPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (journal_ < 0)
            failures.push_back("cannot create the journal " + journalPath_ + ": " + errorText());
    } catch (const std::exception& e) {
        failures.push_back(std::string("cannot create the journal: ") + e.what());
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
    logging_ = true;
    for (const auto& failure : failures)
        record(failure);
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

std::vector<std::string> TreatmentLog::store(const std::string& planningFile,
                                             const std::vector<std::string>& patientPaths,
                                             const std::vector<ImplantPtr>& implants,
                                             const std::optional<std::string>& planningFolder) try
{
    std::vector<std::string> failures;
    std::ostringstream text;
    write(text, implants);
    // The file written; empty when it could not be.
    auto writeInto = [&](const std::string& into) -> std::string {
        try {
            const std::string file = into + Utilities::getUniqueFilename(into) + ".log";
            const std::string failure = writeNewFile(file, text.str());
            if (failure.empty())
                return file;
            failures.push_back(failure);
        } catch (const std::exception& e) {
            failures.push_back("cannot write the treatment log into " + into + ": " + e.what());
        }
        return {};
    };
    const std::string folder = logFolder(planningFile, planningFolder);
    const std::string stored = writeInto(folder);
    std::vector<std::string> told;
    if (!planningFile.empty() && planningFolder && planningFolder->empty())
        told.push_back("The planning " + QFileInfo(QString::fromStdString(planningFile)).path().toStdString() +
                       " is no longer there, and no planning that replaces it was found" +
                       (stored.empty() ? "." : ": the treatment log is kept in " + stored + "."));

    const std::string first = patientPaths.empty() ? std::string() : patientPaths.front();
    if (!first.empty() && QDir::isAbsolutePath(QString::fromStdString(first))) {
        const std::string study = first + "/" + Constants::studyDummyFolder;
        // The patient folder too, before its first planning, as a save makes it.
        Utilities::makeAbsDir(study);
        const std::string dummy = study + Constants::studyDummyFile;
        // Written once, whole: a cut one would never be written again. One that cannot be
        // made at all is skipped, as before; one that fails on the way is told.
        if (!QFileInfo::exists(QString::fromStdString(dummy))) {
            bool created = false;
            const std::string failure = writeNewFile(dummy, "[Patient]\nname = Morvanta Study Dummy\nbirthday = 18991230\n"
                                                            "sex = \nid = Dummy\n[Planningdata]\nversion = P100.0.0\n"
                                                            "lastModified = 01/01/2004 00:00:00\nimplantregion = 0\n"
                                                            "[Implant]\nimplant = 0\n", &created);
            if (created && !failure.empty() && failure.find("the name is taken") == std::string::npos)
                failures.push_back(failure);
        }
        const std::string logs = study + Constants::logFolder;
        QDir().mkdir(QString::fromStdString(logs));
        writeInto(logs);
    } else {
        record("no study copy: the first patient path is not an absolute folder");
    }

    window_.clear();
    logging_ = false;
    const bool keep = !failures.empty() || journalFailed_;
    if (!keep)
        removeJournal(folder);
    closeJournal(keep);
    for (const auto& failure : failures)
        record(failure);
    told.insert(told.end(), failures.begin(), failures.end());
    return told;
}
VEXA_RETHROW
