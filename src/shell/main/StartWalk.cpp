#include "shell/main/StartWalk.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/Model.h"
#include "platform/DebugOutput.h"
#include "shell/main/FolderCall.h"
#include "shell/main/ImageFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

namespace {

// How long the walk is given at its drop to end the plannings at hand, before a part still held
// in a file call is left to itself.
constexpr auto dropWait = std::chrono::seconds(2);

bool holds(const StartRecovery::Report::Planning& planning, const char* name)
{
    // Entries are listed sorted.
    return std::binary_search(planning.entries.begin(), planning.entries.end(), std::string(name));
}

std::string plannings(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " planning" : " plannings") + " looked at";
}

// Tells of a walk that failed (`why`, where known): the next start looks again.
void notLookedAt(StartRecovery::Report& report, const char* why)
{
    const std::string text = std::string("What earlier sessions left in the patient folders could not be looked at") +
                             (why ? std::string(" (") + why + ")" : std::string()) +
                             ". It is looked at again at the next start.";
    report.lines.push_back(text);
    report.toTell.push_back(text);
}

// Whether `folder` lies in `patientFolder` or holds it (both plain paths).
bool concerns(const std::string& patientFolder, const std::string& folder)
{
    const auto within = [](const std::string& inner, const std::string& outer) {
        return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                                  (outer.back() == '/' || inner[outer.size()] == '/'));
    };
    return within(folder, patientFolder) || within(patientFolder, folder);
}

}

struct StartWalk::Part
{
    std::string path;  // as the setting names it
    std::string plain; // in its plain form, to tell which part a folder needs
    bool busy = false, through = false;
    // Whether the thread returned; whether it was left to itself when the walk was dropped.
    bool returned = false, left = false;
    double part = 0.0;
    std::size_t met = 0;
    // The last sign of the folder: a planning reached. The steady clock tells how long ago, the
    // wall clock since when.
    std::chrono::steady_clock::time_point heard;
    std::time_t heardAt = 0;
    StartRecovery::Report report;
    std::vector<std::string> logFolders;
};

struct StartWalk::Shared
{
    std::shared_ptr<const Model> model;
    std::shared_ptr<const ImageFolder> images;
    bool finishSessions = false;
    std::string loadedLog;
    std::function<void(const Result&)> ended;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Part> parts;
    // The pictures' and the journals' step after the parts.
    bool started = false, finalBusy = false, completed = false;
    // Set by the walk's drop: nothing is handed over any more.
    bool dropped = false;
    std::string description;
    // The last sign of the folders the pictures' and the journals' step looks into, and the patient
    // folder it looks into then (empty: it looks into several).
    std::chrono::steady_clock::time_point finalHeard;
    std::time_t finalHeardAt = 0;
    std::string finalFolder;
    Result result;
    std::atomic<bool> stop{false}, counted{false};

    void describe(std::string text)
    {
        std::lock_guard lock(mutex);
        description = std::move(text);
    }
    // The patient folder, as its setting names it, that holds `path`; empty where none does.
    std::string patientFolderOf(const std::string& path) const
    {
        const std::string plain = FolderHandle::plainPath(path);
        for (const Part& part : parts)
            if (concerns(part.plain, plain))
                return part.path;
        return {};
    }
    void signFinal(std::string folder)
    {
        std::lock_guard lock(mutex);
        finalHeard = std::chrono::steady_clock::now();
        finalHeardAt = std::time(nullptr);
        finalFolder = std::move(folder);
    }
    void sign(Part& part)
    {
        std::lock_guard lock(mutex);
        part.heard = std::chrono::steady_clock::now();
        part.heardAt = std::time(nullptr);
    }
};

StartWalk::StartWalk(std::shared_ptr<const Model> model, std::shared_ptr<const ImageFolder> images,
                     std::vector<std::string> patientPaths, bool finishSessions, std::string loadedLog,
                     std::function<void(const Result&)> ended)
    : shared_(std::make_shared<Shared>())
{
    shared_->model = std::move(model);
    shared_->images = std::move(images);
    shared_->finishSessions = finishSessions;
    shared_->loadedLog = std::move(loadedLog);
    shared_->ended = std::move(ended);
    for (std::string& path : patientPaths) {
        Part part;
        part.plain = FolderHandle::plainPath(path);
        part.path = std::move(path);
        shared_->parts.push_back(std::move(part));
    }
}

StartWalk::~StartWalk()
{
    stop();
    std::unique_lock lock(shared_->mutex);
    shared_->dropped = true;
    // The final step runs in the thread of the part that returned last, before it counts as returned.
    shared_->changed.wait_until(lock, std::chrono::steady_clock::now() + dropWait, [this] {
        return std::all_of(shared_->parts.begin(), shared_->parts.end(),
                           [&](const Part& part) { return !shared_->started || part.returned; });
    });
    // A thread still out is held in a file call that may never return: left to the process's end.
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        Part& part = shared_->parts[i];
        if (part.returned || !threads_[i].joinable())
            continue;
        part.left = true;
        ++threadsOut_;
        Platform::outputDebugString("the patient folder " + part.path +
                                    " did not answer when the walk was ended: its thread is not waited for\n");
    }
    for (std::size_t i = 0; i < threads_.size(); ++i)
        if (shared_->parts[i].left)
            threads_[i].detach();
    lock.unlock();
    for (std::thread& thread : threads_)
        if (thread.joinable())
            thread.join();
    if (shared_->counted.exchange(false))
        --running_;
}

void StartWalk::start()
{
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->started || shared_->stop.load())
            return;
        shared_->started = true;
        for (Part& part : shared_->parts) {
            part.busy = true;
            part.heard = std::chrono::steady_clock::now();
            part.heardAt = std::time(nullptr);
        }
        shared_->description = shared_->finishSessions ? "Finishing what earlier sessions left in the patient folders"
                                                       : "Looking for journals of treatment logs in the patient folders";
    }
    shared_->counted = true;
    ++running_;
    if (shared_->parts.empty())
        return finishAll(shared_);
    for (std::size_t i = 0; i < shared_->parts.size(); ++i)
        try {
            threads_.emplace_back([shared = shared_, i] { walkPart(shared, i); });
        } catch (const std::system_error& e) {
            // Without a thread the part is walked here: what earlier sessions left is not left for
            // want of one.
            Platform::outputDebugString(std::string("no thread for the start's walk of the patient folders: ") + e.what() + "\n");
            threads_.emplace_back();
            walkPart(shared_, i);
        }
}

void StartWalk::stop()
{
    shared_->stop = true;
    wake();
}

void StartWalk::wake()
{
    {
        std::lock_guard lock(shared_->mutex);
    }
    shared_->changed.notify_all();
}

bool StartWalk::wait(const std::string& folder, const std::atomic<bool>* cancelled)
{
    start();
    const std::string plain = folder.empty() ? std::string() : FolderHandle::plainPath(folder);
    std::unique_lock lock(shared_->mutex);
    const auto done = [&] {
        if (plain.empty())
            return !shared_->finalBusy && std::none_of(shared_->parts.begin(), shared_->parts.end(),
                                                       [](const Part& part) { return part.busy; });
        return std::none_of(shared_->parts.begin(), shared_->parts.end(),
                            [&](const Part& part) { return part.busy && concerns(part.plain, plain); });
    };
    shared_->changed.wait(lock, [&] { return done() || shared_->stop.load() || (cancelled && cancelled->load()); });
    if (!done() || shared_->stop.load())
        return false;
    if (plain.empty())
        return shared_->completed;
    return std::all_of(shared_->parts.begin(), shared_->parts.end(),
                       [&](const Part& part) { return part.through || !concerns(part.plain, plain); });
}

bool StartWalk::completed() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->completed;
}

bool StartWalk::isRunning() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->finalBusy ||
           std::any_of(shared_->parts.begin(), shared_->parts.end(), [](const Part& part) { return part.busy; });
}

double StartWalk::part() const
{
    std::lock_guard lock(shared_->mutex);
    if (shared_->parts.empty())
        return shared_->completed ? 1.0 : 0.0;
    double sum = 0.0;
    for (const Part& part : shared_->parts)
        sum += part.through ? 1.0 : part.part;
    return sum / double(shared_->parts.size());
}

std::string StartWalk::description() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->description;
}

std::string StartWalk::waitDescription(const std::string& folder, std::chrono::seconds quiet) const
{
    const std::string plain = folder.empty() ? std::string() : FolderHandle::plainPath(folder);
    std::lock_guard lock(shared_->mutex);
    const auto now = std::chrono::steady_clock::now();
    const Part* silent = nullptr;
    for (const Part& part : shared_->parts)
        if (part.busy && (plain.empty() || concerns(part.plain, plain)) && now - part.heard >= quiet &&
            (!silent || part.heard < silent->heard))
            silent = &part;
    const auto since = [&](std::chrono::steady_clock::time_point heard, std::time_t at) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - heard).count();
        return QDateTime::fromSecsSinceEpoch(at).toString("hh:mm:ss").toStdString() + " (" + std::to_string(seconds) +
               " s)";
    };
    if (silent)
        return FolderCall::notAnswering(silent->path, silent->heard, silent->heardAt);
    if (plain.empty() && shared_->finalBusy && now - shared_->finalHeard >= quiet) {
        if (!shared_->finalFolder.empty())
            return FolderCall::notAnswering(shared_->finalFolder, shared_->finalHeard, shared_->finalHeardAt);
        return "The patient folders have not answered since " + since(shared_->finalHeard, shared_->finalHeardAt) +
               ": waiting for them. Cancel waits no longer.";
    }
    return shared_->description;
}

std::string StartWalk::WaitJob::getShortDescription() const
{
    // A folder that has said nothing for this long is said not to answer.
    return walk_.waitDescription(folder_, std::chrono::seconds(3));
}

void StartWalk::walkPart(const std::shared_ptr<Shared>& shared, std::size_t index)
{
    Part& part = shared->parts[index];
    const std::vector<std::string> paths{part.path};
    StartRecovery::Report report;
    std::vector<std::string> logFolders;
    const auto total = [&shared] {
        std::size_t met = 0;
        for (const Part& each : shared->parts)
            met += each.met;
        return met;
    };
    try {
        if (shared->finishSessions) {
            StartRecovery::Walk walk;
            walk.stop = [&] {
                shared->sign(part);
                return shared->stop.load();
            };
            walk.advanced = [&](double walked, std::size_t met) {
                std::lock_guard lock(shared->mutex);
                part.part = walked;
                part.met = met;
                part.heard = std::chrono::steady_clock::now();
                part.heardAt = std::time(nullptr);
                shared->description = "Finishing what earlier sessions left in the patient folders: " + plannings(total());
            };
            report = StartRecovery::finishInterrupted(paths, walk);
            for (const auto& planning : report.plannings)
                if (holds(planning, "Log"))
                    logFolders.push_back(planning.folder + "/Log");
        } else {
            // Another instance runs: it finished what earlier sessions left; only the journals,
            // which only a program that holds them can be at work in, are looked for here.
            for (const FolderHandle& base : PlanningFinder::patientFolders(paths))
                if (base)
                    PlanningFinder::eachPlanning(base, [&](const FolderHandle& planning, const std::string&) {
                        shared->sign(part);
                        if (shared->stop.load())
                            return ECANCELED;
                        const auto log = planning.kind("Log");
                        if (!log.ok() || *log != FolderHandle::Kind::none)
                            logFolders.push_back(planning.pathOf("Log"));
                        std::lock_guard lock(shared->mutex);
                        ++part.met;
                        shared->description = "Looking for journals of treatment logs in the patient folders: " + plannings(total());
                        return 0;
                    });
        }
    } catch (const std::exception& e) {
        notLookedAt(report, e.what());
    } catch (...) {
        notLookedAt(report, nullptr);
    }
    bool last = false;
    {
        std::lock_guard lock(shared->mutex);
        part.report = std::move(report);
        part.logFolders = std::move(logFolders);
        part.through = !shared->stop.load() && !part.report.stopped;
        part.busy = false;
        part.part = 1.0;
        last = std::none_of(shared->parts.begin(), shared->parts.end(), [](const Part& each) { return each.busy; }) &&
               std::all_of(shared->parts.begin(), shared->parts.end(), [](const Part& each) { return each.through; });
        shared->finalBusy = shared->finalBusy || last;
        if (last) {
            shared->finalHeard = std::chrono::steady_clock::now();
            shared->finalHeardAt = std::time(nullptr);
        }
    }
    shared->changed.notify_all();
    if (last)
        finishAll(shared);
    std::lock_guard lock(shared->mutex);
    part.returned = true;
    if (part.left)
        --threadsOut_;
    shared->changed.notify_all();
    // A walk that will not go through hands nothing over: it no longer counts as running.
    if (!last && !part.through && shared->counted.exchange(false))
        --running_;
}

void StartWalk::finishAll(const std::shared_ptr<Shared>& shared)
{
    Result& result = shared->result;
    StartRecovery::Report& report = result.report;
    std::vector<std::string> logFolders;
    if (!shared->loadedLog.empty())
        logFolders.push_back(shared->loadedLog);
    {
        std::lock_guard lock(shared->mutex);
        shared->finalBusy = true;
        for (Part& part : shared->parts) {
            const auto add = [](std::vector<std::string>& to, std::vector<std::string>& from) {
                to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
            };
            add(report.lines, part.report.lines);
            add(report.toTell, part.report.toTell);
            add(report.noFolders, part.report.noFolders);
            add(logFolders, part.logFolders);
            report.plannings.insert(report.plannings.end(), std::make_move_iterator(part.report.plannings.begin()),
                                    std::make_move_iterator(part.report.plannings.end()));
            result.plannings += shared->finishSessions ? part.report.plannings.size() : part.met;
        }
    }
    try {
        if (shared->finishSessions && !shared->stop.load()) {
            shared->describe("Looking for the pictures of earlier sessions in the plannings");
            // A picture the planning a cut-off save published holds already, byte for byte. Where
            // that cannot be told, it is kept.
            const auto inPlanning = [&report, &shared](const std::string& picture) {
                const std::filesystem::path path(picture);
                const FolderHandle images = FolderHandle::open(path.parent_path().string(), true);
                const std::string name = path.filename().string();
                for (const auto& planning : report.plannings) {
                    if (!holds(planning, "images"))
                        continue;
                    shared->signFinal(shared->patientFolderOf(planning.folder));
                    const auto same = FolderHandle::sameBytes(images, name, FolderHandle::open(planning.folder + "/images"), name);
                    if (same.ok() && *same)
                        return true;
                }
                return false;
            };
            for (const std::string& line : shared->images->recoverEarlierSession(inPlanning)) {
                report.lines.push_back(line);
                report.toTell.push_back(line);
            }
        }
        if (!shared->stop.load()) {
            shared->describe("Making treatment logs of the journals that earlier sessions left");
            // The journals are looked for in the plannings' logs and in each patient folder: one
            // folder is named where it is the only one.
            std::string only = shared->parts.size() == 1 ? shared->parts.front().path : std::string();
            for (const std::string& folder : logFolders)
                if (shared->patientFolderOf(folder) != only)
                    only.clear();
            shared->signFinal(only);
            // Each look at the next folder or journal follows an answer.
            shared->model->recoverTreatmentLogs(logFolders, [shared, only] {
                shared->signFinal(only);
                return shared->stop.load();
            });
        }
    } catch (const std::exception& e) {
        notLookedAt(report, e.what());
    } catch (...) {
        notLookedAt(report, nullptr);
    }
    const bool through = !shared->stop.load();
    {
        std::lock_guard lock(shared->mutex);
        shared->completed = through;
        shared->finalBusy = false;
    }
    shared->changed.notify_all();
    if (!through) {
        if (shared->counted.exchange(false))
            --running_;
        return;
    }
    // Counted until the result is handed over, so that a replay goes on only once it was. A walk
    // dropped meanwhile hands over nothing.
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !QMetaObject::invokeMethod(app, [shared] {
            std::function<void(const Result&)> ended;
            {
                std::lock_guard lock(shared->mutex);
                if (!shared->dropped)
                    ended = shared->ended;
            }
            if (ended)
                ended(shared->result);
            if (shared->counted.exchange(false))
                --running_;
        }, Qt::QueuedConnection))
        if (shared->counted.exchange(false))
            --running_;
}
