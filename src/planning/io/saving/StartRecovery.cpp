#include "planning/io/saving/StartRecovery.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/OriginLock.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/TakeOver.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/io/saving/WorkMark.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QDateTime>
#include <QLocale>

#include <cstring>
#include <ctime>

namespace {

const std::string previousPrefix = ".previous-";
// Another computer's unfinished save is told once it is older than any save takes.
constexpr std::time_t unfinishedForLong = 3600;
constexpr int maxDepth = 8;

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The target of a hidden working folder ".<target><suffix><number>"; empty when it is none.
std::string workingTarget(const std::string& name, const std::string& suffix)
{
    const auto at = name.rfind(suffix);
    if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 2 || at + suffix.size() == name.size())
        return {};
    for (std::size_t i = at + suffix.size(); i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return {};
    return name.substr(1, at - 1);
}

// Folders an earlier version left inside `folder` holding a replaced planning.
std::vector<std::string> earlierReplacedIn(const FolderHandle& folder)
{
    std::vector<std::string> found;
    for (const std::string& name : folder.entries())
        if (startsWith(name, previousPrefix) && folder.isFolder(name) &&
            !PlanningFinder::planningIn(folder.child(name)).empty())
            found.push_back(name);
    return found;
}

std::string sizeText(std::uintmax_t bytes)
{
    return QLocale::c().formattedDataSize(qint64(bytes), 1, QLocale::DataSizeSIFormat).toStdString();
}

class Recovery
{
public:
    StartRecovery::Report report;

    void finishIn(const FolderHandle& folder, int depth)
    {
        for (const std::string& name : folder.entries()) {
            const FolderHandle::Kind kind = folder.kind(name);
            if (kind == FolderHandle::Kind::file && name.front() == '.' && endsWith(name, ".lock")) {
                if (OriginLock::removeIfStale(folder, name))
                    done("removed the stale lock " + folder.pathOf(name));
                continue;
            }
            if (kind != FolderHandle::Kind::folder)
                continue;
            if (name.front() == '.') {
                if (const std::string target = workingTarget(name, ".saving"); !target.empty())
                    finishStaging(folder, name, target);
                else if (const std::string target = workingTarget(name, ".previous"); !target.empty())
                    finishPutAside(folder, name, target);
                continue;
            }
            const FolderHandle entry = folder.child(name);
            if (!PlanningFinder::planningIn(entry).empty())
                finishPlanning(folder, entry);
            else if (depth < maxDepth)
                finishIn(entry, depth + 1);
        }
    }

private:
    void done(const std::string& line) { report.lines.push_back(line); }
    void tell(const std::string& line)
    {
        report.lines.push_back(line);
        report.toTell.push_back(line);
    }
    void tellAll(const std::vector<std::string>& notes)
    {
        for (const std::string& note : notes)
            tell(note);
    }

    // A working folder left by a save. One that was never published holds only that save's own
    // files: it goes, with the folder reserved for it, under its mark taken from a save that is
    // gone. One of an earlier version, whose commit had put the replaced folders inside, is
    // published and they are taken over; without a mark only when it plainly holds a planning,
    // new and replaced.
    void finishStaging(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        // The old planning that a planning replaced in its own folder (an earlier version) took
        // the working folder's name: it is that planning's to take over, by its record, or to
        // keep where its record was set aside.
        const FolderHandle target = parent.child(targetName);
        if (target.isFile(TakeOverRecord::prefix + name) || target.isFile(TakeOverRecord::setAsidePrefix + name))
            return;
        const FolderHandle staging = parent.child(name);
        const std::string where = staging.path();
        std::unique_ptr<WorkMark> mark;
        std::string why;
        if (WorkMark::isIn(staging) && !(mark = WorkMark::take(staging, false, &why))) {
            std::time_t since = 0;
            const auto holder = WorkMark::holderOf(staging, &since);
            if (holder && !holder->isOnThisComputer() && since && std::time(nullptr) - since > unfinishedForLong)
                tell("An unfinished save of " + holder->describe() + ", begun " +
                     QDateTime::fromSecsSinceEpoch(since).toString("yyyy-MM-dd hh:mm").toStdString() + ", holds " +
                     sizeText(staging.treeSize()) + " in the hidden folder " + where +
                     ". That computer removes it at its next start; nothing of it was removed here.");
            else
                done("left " + where + ": " + why);
            return;
        }
        const std::vector<std::string> replaced = earlierReplacedIn(staging);
        if (!mark) {
            std::size_t folders = 0;
            for (const std::string& entry : staging.entries())
                folders += startsWith(entry, previousPrefix) && staging.isFolder(entry);
            if (replaced.empty() || folders != replaced.size() || !staging.isFile(targetName + ".srl") ||
                !(mark = WorkMark::take(staging, true)))
                return;
        }
        if (replaced.empty()) {
            // The mark goes last: what stays of the folder stays marked for the next start.
            int error = 0;
            for (const std::string& entry : staging.entries())
                if (entry != WorkMark::fileName && !error)
                    error = staging.removeAll(entry);
            if (error) {
                mark->leave();
                tell("The unfinished save " + where + " could not be removed (" + std::strerror(error) + ").");
                return;
            }
            mark.reset();
            if (const int failed = parent.removeFolder(name); failed && failed != ENOENT) {
                tell("The unfinished save " + where + " could not be removed (" + std::strerror(failed) + ").");
                return;
            }
            if (parent.child(targetName).isEmpty())
                parent.removeFolder(targetName);
            done("removed the unfinished save " + where);
            return;
        }
        if (parent.has(targetName) && !parent.child(targetName).isEmpty()) {
            mark->leave();
            done("kept " + where + ": " + parent.pathOf(targetName) + " is taken");
            return;
        }
        const int error = parent.has(targetName) ? parent.replace(name, parent, targetName)
                                                 : parent.moveTo(name, parent, targetName);
        if (error) {
            mark->leave();
            tell("The unfinished save " + where + " could not be published (" + std::strerror(error) + ").");
            return;
        }
        done("finished the save of " + parent.pathOf(targetName));
        const FolderHandle published = parent.child(targetName);
        for (const std::string& folder : replaced)
            takeOverEarlier(published, folder);
    }

    // A replaced planning no record describes (an earlier version's) in `parent`, into `into`.
    void takeOverUnrecorded(const FolderHandle& parent, const std::string& name, const std::string& planning,
                            const FolderHandle& into)
    {
        std::vector<std::string> notes;
        const auto result = TakeOver::runUnrecorded(parent, name, planning, into, notes);
        tellAll(notes);
        if (result == TakeOver::Result::whole)
            done(TakeOver::tookOver(parent.pathOf(name), into.path()));
        else if (result == TakeOver::Result::busy)
            done(TakeOver::leftBusy(parent.pathOf(name)));
    }

    // A replaced planning an earlier version left inside the planning `into`.
    void takeOverEarlier(const FolderHandle& into, const std::string& name)
    {
        takeOverUnrecorded(into, name, PlanningFinder::planningIn(into.child(name)), into);
    }

    // The folder an earlier version put aside as ".<name>.previous<n>" (the planning <name> in
    // it): its other contents go into the planning that replaced it, or, with none there, it is
    // the planning again.
    void finishPutAside(const FolderHandle& parent, const std::string& name, const std::string& targetName)
    {
        const std::string planning = targetName + ".srl";
        const FolderHandle aside = parent.child(name);
        const auto target = parent.kind(targetName);
        if (!aside.isFile(planning) || (target != FolderHandle::Kind::none && target != FolderHandle::Kind::folder))
            return;
        const FolderHandle into = parent.child(targetName);
        if (into.isFile(planning))
            takeOverUnrecorded(parent, name, planning, into);
        else if (target == FolderHandle::Kind::none || into.isEmpty()) {
            if ((target == FolderHandle::Kind::none ? parent.moveTo(name, parent, targetName)
                                                    : parent.replace(name, parent, targetName)) == 0)
                done("restored the planning " + parent.pathOf(targetName));
        }
    }

    // A planning folder: the take-overs it records, and replaced folders an earlier version left
    // in it, are finished, by any instance; where a save of this computer died at work in it (its
    // mark is left), what that save had begun there goes too.
    void finishPlanning(const FolderHandle& parent, const FolderHandle& folder)
    {
        std::vector<std::string> records;
        for (const std::string& name : folder.entries())
            if (startsWith(name, TakeOverRecord::prefix) && folder.isFile(name))
                records.push_back(name);
        const std::vector<std::string> earlier = earlierReplacedIn(folder);
        const bool marked = WorkMark::isIn(folder);
        if (records.empty() && earlier.empty() && !marked)
            return;
        if (WorkMark::isHeld(folder)) {
            done(TakeOver::leftBusy(folder.path()));
            return;
        }
        for (const std::string& record : records) {
            std::vector<std::string> lines, notes;
            TakeOver::finishRecord(parent, folder, record, folder, lines, notes);
            tellAll(notes);
            for (const std::string& line : lines)
                done(line);
        }
        for (const std::string& name : earlier)
            takeOverEarlier(folder, name);
        const auto mark = marked ? WorkMark::take(folder, false) : nullptr;
        if (!mark || !mark->wasLeft())
            return;
        for (const char* place : {"", "system", "images"}) {
            const FolderHandle in = *place ? folder.child(place) : folder.again();
            for (const std::string& name : in.entries())
                if (Vexa::AtomicFile::isTemporaryName(name) && in.isFile(name) && in.removeFile(name) == 0)
                    done("removed the temporary file " + in.pathOf(name));
        }
        // A replaced folder whose removal was cut off after its planning file.
        for (const std::string& name : folder.entries())
            if (startsWith(name, previousPrefix) && folder.isFolder(name) && folder.child(name).isEmpty() &&
                folder.removeFolder(name) == 0)
                done("removed the empty folder " + folder.pathOf(name));
    }
};

}

namespace StartRecovery {

Report finishInterrupted(const std::vector<std::string>& patientPaths) try
{
    Recovery recovery;
    for (const std::string& base : patientPaths)
        if (!base.empty())
            recovery.finishIn(FolderHandle::open(base, true), 0);
    return recovery.report;
}
VEXA_RETHROW

}
