#pragma once
// The start's one walk of the patient folders, beside the window: it finishes what earlier
// sessions' saves left (StartRecovery, where this instance may), keeps the pictures an earlier
// session left in Images, and makes the journals of a program that ended without storing its
// treatment log into logs, all from the plannings that one walk met.
//
// Each patient folder is walked in a thread of its own: a folder on a file server that stops
// answering holds only its own part. The pictures and the journals follow once every part went
// through. What needs a result waits for the parts it needs (`wait`, under a progress bar:
// WaitJob): a save for the patient folder it saves into, the list and navigation likewise; the
// wait says which folder has not answered since when, and can be cancelled. Stopping (quitting,
// a signal) ends each part after the planning at hand; what is left then is the next start's. A
// part held in a file call that does not return is never waited for: its thread is left to the
// process's end (threadsOut), which does not wait for it either.
#include "planning/io/saving/StartRecovery.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <chrono>
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
    // from its event loop, once the walk went through; never when it was stopped or dropped.
    StartWalk(std::shared_ptr<const Model> model, std::shared_ptr<const ImageFolder> images,
              std::vector<std::string> patientPaths, bool finishSessions, std::string loadedLog,
              std::function<void(const Result&)> ended);
    // Stops the walk and waits a moment for the plannings at hand; a part that a file call still
    // holds then is left to itself (threadsOut).
    ~StartWalk();
    StartWalk(const StartWalk&) = delete;
    StartWalk& operator=(const StartWalk&) = delete;

    // Starts the walk (once; not after `stop`).
    void start();
    // Ends the walk after the planning at hand, and every wait for it at once; any thread.
    void stop();
    // Blocks until what `folder` needs of the walk has returned (the parts of the patient folders
    // that hold it or lie below it; with an empty `folder` the whole walk), the walk is stopped,
    // or `cancelled` is set (and `wake` called); whether it went through. A walk not started yet
    // is started first.
    bool wait(const std::string& folder = {}, const std::atomic<bool>* cancelled = nullptr);
    // Lets every wait look at its `cancelled` again.
    void wake();
    // Whether it went through (its `ended` may still be on its way).
    bool completed() const;
    // From `start` until every part returned.
    bool isRunning() const;

    // The part walked (0..1), and what it does now; any thread.
    double part() const;
    std::string description() const;
    // What a wait for `folder` tells: the patient folder of those it needs that has given no sign
    // for longest, once that is `quiet` long, with since when; else what the walk does.
    std::string waitDescription(const std::string& folder, std::chrono::seconds quiet) const;

    // How many walks of this process have started and not yet handed over their result: a replay
    // waits for them as for a job under a progress bar.
    static int running() { return running_.load(); }
    // How many threads of walks are still out after their walk was dropped (held in a file call):
    // the process ends without waiting for them.
    static int threadsOut() { return threadsOut_.load(); }

    // Waiting for the walk (what `folder` needs of it) as a job under the progress dialog, which
    // Cancel and Escape end.
    class WaitJob : public Vexa::IAlgorithmProgressState
    {
    public:
        explicit WaitJob(StartWalk& walk, std::string folder = {}) : walk_(walk), folder_(std::move(folder)) {}
        bool start() override { return walk_.wait(folder_, &cancelled_); }
        void cancel() override
        {
            cancelled_ = true;
            walk_.wake();
        }
        double getProgressState() const override { return walk_.part(); }
        std::string getShortDescription() const override;
        bool isCancelable() const override { return true; }
        bool wasCancelled() const { return cancelled_.load(); }

    private:
        StartWalk& walk_;
        const std::string folder_;
        std::atomic<bool> cancelled_{false};
    };

private:
    struct Shared;
    struct Part;
    // Walks one patient folder (the part at `index`), in its thread; the last part to return
    // through goes on with the pictures and the journals.
    static void walkPart(const std::shared_ptr<Shared>& shared, std::size_t index);
    static void finishAll(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
    static inline std::atomic<int> running_{0};
    static inline std::atomic<int> threadsOut_{0};
};
