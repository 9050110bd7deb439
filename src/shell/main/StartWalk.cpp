#include "shell/main/StartWalk.h"

#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/model/Model.h"
#include "platform/DebugOutput.h"
#include "shell/main/ImageFolder.h"

#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

namespace {

bool holds(const StartRecovery::Report::Planning& planning, const char* name)
{
    // Entries are listed sorted.
    return std::binary_search(planning.entries.begin(), planning.entries.end(), std::string(name));
}

std::string plannings(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " planning" : " plannings") + " looked at";
}

}

StartWalk::StartWalk(std::shared_ptr<const Model> model, const ImageFolder& images, std::vector<std::string> patientPaths,
                     bool finishSessions, std::string loadedLog, std::function<void(const Result&)> ended)
    : model_(std::move(model)), images_(images), patientPaths_(std::move(patientPaths)), finishSessions_(finishSessions),
      loadedLog_(std::move(loadedLog)), ended_(std::move(ended))
{
}

StartWalk::~StartWalk()
{
    stop();
    if (thread_.joinable())
        thread_.join();
    uncount();
}

void StartWalk::start()
{
    {
        std::lock_guard lock(mutex_);
        if (started_ || stop_.load())
            return;
        started_ = busy_ = true;
        description_ = finishSessions_ ? "Finishing what earlier sessions left in the patient folders"
                                       : "Looking for journals of treatment logs in the patient folders";
    }
    counted_ = true;
    ++running_;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        // Without a thread the walk is done here: what earlier sessions left is not left for want of one.
        Platform::outputDebugString(std::string("no thread for the start's walk of the patient folders: ") + e.what() + "\n");
        run();
    }
}

void StartWalk::stop()
{
    stop_ = true;
}

bool StartWalk::wait()
{
    start();
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [this] { return !busy_; });
    return completed_.load();
}

bool StartWalk::isRunning() const
{
    std::lock_guard lock(mutex_);
    return busy_;
}

std::string StartWalk::description() const
{
    std::lock_guard lock(mutex_);
    return description_;
}

void StartWalk::describe(std::string text)
{
    std::lock_guard lock(mutex_);
    description_ = std::move(text);
}

void StartWalk::uncount()
{
    if (counted_.exchange(false))
        --running_;
}

void StartWalk::finish(bool through)
{
    completed_ = through;
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    returned_.notify_all();
    if (!through) {
        uncount();
        return;
    }
    // Counted until the result is handed over, so that a replay goes on only once it was.
    QMetaObject::invokeMethod(&context_, [this] {
        if (ended_)
            ended_(result_);
        uncount();
    }, Qt::QueuedConnection);
}

void StartWalk::run()
{
    std::vector<std::string> logFolders;
    if (!loadedLog_.empty())
        logFolders.push_back(loadedLog_);
    StartRecovery::Report& report = result_.report;
    try {
        if (finishSessions_) {
            StartRecovery::Walk walk;
            walk.stop = [this] { return stop_.load(); };
            walk.advanced = [this](double part, std::size_t met) {
                part_ = part;
                describe("Finishing what earlier sessions left in the patient folders: " + plannings(met));
            };
            report = StartRecovery::finishInterrupted(patientPaths_, walk);
            if (report.stopped)
                return finish(false);
            describe("Looking for the pictures of earlier sessions in the plannings");
            // A picture the planning a cut-off save published holds already, byte for byte. Where
            // that cannot be told, it is kept.
            const auto inPlanning = [&report](const std::string& picture) {
                const std::filesystem::path path(picture);
                const FolderHandle images = FolderHandle::open(path.parent_path().string(), true);
                const std::string name = path.filename().string();
                for (const auto& planning : report.plannings) {
                    if (!holds(planning, "images"))
                        continue;
                    const auto same = FolderHandle::sameBytes(images, name, FolderHandle::open(planning.folder + "/images"), name);
                    if (same.ok() && *same)
                        return true;
                }
                return false;
            };
            for (const std::string& line : images_.recoverEarlierSession(inPlanning)) {
                report.lines.push_back(line);
                report.toTell.push_back(line);
            }
            result_.plannings = report.plannings.size();
            for (const auto& planning : report.plannings)
                if (holds(planning, "Log"))
                    logFolders.push_back(planning.folder + "/Log");
        } else {
            // Another instance runs: it finished what earlier sessions left; only the journals,
            // which only a program that holds them can be at work in, are looked for here.
            std::size_t met = 0;
            for (const FolderHandle& base : PlanningFinder::patientFolders(patientPaths_))
                if (base)
                    PlanningFinder::eachPlanning(base, [&](const FolderHandle& planning, const std::string&) {
                        if (stop_.load())
                            return ECANCELED;
                        const auto log = planning.kind("Log");
                        if (!log.ok() || *log != FolderHandle::Kind::none)
                            logFolders.push_back(planning.pathOf("Log"));
                        describe("Looking for journals of treatment logs in the patient folders: " + plannings(++met));
                        return 0;
                    });
            if (stop_.load())
                return finish(false);
            result_.plannings = met;
        }
        describe("Making treatment logs of the journals that earlier sessions left");
        part_ = 1.0;
        model_->recoverTreatmentLogs(logFolders, [this] { return stop_.load(); });
    } catch (const std::exception& e) {
        const std::string text = std::string("What earlier sessions left in the patient folders could not be looked at (") +
                                 e.what() + "). It is looked at again at the next start.";
        report.lines.push_back(text);
        report.toTell.push_back(text);
    } catch (...) {
        const std::string text = "What earlier sessions left in the patient folders could not be looked at. It is "
                                 "looked at again at the next start.";
        report.lines.push_back(text);
        report.toTell.push_back(text);
    }
    finish(!stop_.load());
}
