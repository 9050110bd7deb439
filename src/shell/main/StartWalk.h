#pragma once
// The start's one walk of the patient folders, in a thread of its own while the window is up: it
// finishes what earlier sessions' saves left (StartRecovery, where this instance may), keeps the
// pictures an earlier session left in Images, and makes the journals of a program that ended
// without storing its treatment log into logs, all from the plannings that one walk met.
//
// What needs its result (listing, loading and saving plannings, navigation) waits for it
// (`wait`, under a progress bar: WaitJob). Stopping (quitting, a signal) ends it after the
// planning at hand; what is left then is the next start's.
#include "planning/io/saving/StartRecovery.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ImageFolder;
class Model;

class StartWalk
{
public:
    struct Result
    {
        // What finishing the earlier sessions did and left, the pictures kept among it; empty
        // where another instance runs.
        StartRecovery::Report report;
        // How many plannings the walk met.
        std::size_t plannings = 0;
    };

    // `finishSessions`: whether this instance finishes what earlier sessions left (no other one
    // runs); else only the journals are looked for. `loadedLog`: the "Log" folder of a planning
    // loaded already, looked into as well. `ended` is called in the thread that made the walk,
    // from its event loop, once the walk went through; never when it was stopped.
    StartWalk(std::shared_ptr<const Model> model, const ImageFolder& images, std::vector<std::string> patientPaths,
              bool finishSessions, std::string loadedLog, std::function<void(const Result&)> ended);
    // Stops the walk and waits for the planning at hand.
    ~StartWalk();
    StartWalk(const StartWalk&) = delete;
    StartWalk& operator=(const StartWalk&) = delete;

    // Starts the walk (once; not after `stop`).
    void start();
    // Ends the walk after the planning at hand; any thread.
    void stop();
    // Blocks until the walk has returned; whether it went through. A walk not started yet is
    // started first.
    bool wait();
    // Whether it went through (its `ended` may still be on its way).
    bool completed() const { return completed_.load(); }
    // From `start` until it returned.
    bool isRunning() const;

    // The part walked (0..1), and what it does now; any thread.
    double part() const { return part_.load(); }
    std::string description() const;

    // How many walks of this process have started and not yet handed over their result: a replay
    // waits for them as for a job under a progress bar.
    static int running() { return running_.load(); }

    // Waiting for the walk as a job under the progress dialog.
    class WaitJob : public Vexa::IAlgorithmProgressState
    {
    public:
        explicit WaitJob(StartWalk& walk) : walk_(walk) {}
        bool start() override { return walk_.wait(); }
        void cancel() override {}
        double getProgressState() const override { return walk_.part(); }
        std::string getShortDescription() const override { return walk_.description(); }
        bool isCancelable() const override { return false; }

    private:
        StartWalk& walk_;
    };

private:
    void run();
    void describe(std::string text);
    void finish(bool through);
    // No longer counted as running (once).
    void uncount();

    std::shared_ptr<const Model> model_;
    const ImageFolder& images_;
    const std::vector<std::string> patientPaths_;
    const bool finishSessions_;
    const std::string loadedLog_;
    const std::function<void(const Result&)> ended_;
    Result result_;
    QObject context_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, completed_{false};
    std::atomic<double> part_{0.0};
    mutable std::mutex mutex_;
    std::condition_variable returned_;
    bool started_ = false, busy_ = false;
    std::atomic<bool> counted_{false};
    std::string description_;
    static inline std::atomic<int> running_{0};
};
