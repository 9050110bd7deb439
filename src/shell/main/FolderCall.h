#pragma once
// A file call on a patient folder, made off the window's thread: a folder on a file server that
// stopped answering (an NFS hard mount, an SMB share) holds only the call's own thread
// (DetachableCall), never the window. The window waits for it as a job under the progress
// dialog, which says what is done until the folder has been quiet a moment, then which folder has
// not answered since when; Cancel stops the wait, not the call, which is left to itself. The work
// must own what it touches, its result among it: it may run on after its caller is gone.
#include "vexa/core/DetachableCall.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <string>

class FolderCall : public Vexa::IAlgorithmProgressState
{
public:
    // `folder`: the patient folder the call is made in, as the user knows it; `doing`: what the
    // call does, said while the folder still counts as answering.
    FolderCall(std::string folder, std::string doing, std::function<void()> work);

    // Makes the call (once), in a thread of its own; where the system gives no thread, here (the
    // step is not failed for want of one).
    void begin();
    // Whether it returned within `bound` (it is begun first).
    bool returnedWithin(std::chrono::steady_clock::duration bound);
    // The wait, in the progress dialog's worker: returns once the call returned or `cancel`.
    bool start() override;
    void cancel() override { cancelled_ = true; }
    double getProgressState() const override { return 0.0; }
    std::string getShortDescription() const override;
    bool isCancelable() const override { return true; }

    bool returned() const { return ranHere_ || (call_ && call_->returned()); }
    bool wasCancelled() const { return cancelled_.load(); }
    // Rethrows what the call threw, once it returned.
    void rethrow() const;
    const std::string& folder() const { return folder_; }
    // The call itself, for its caller to keep while it is out; null before `begin` and where it
    // was made here.
    std::shared_ptr<Vexa::DetachableCall> call() const { return call_; }

    // How long a folder may give no answer before a wait says it does not answer.
    static constexpr std::chrono::seconds quiet{2};
    // What a wait says of a patient folder that has given no answer since `since` (`at`, in wall
    // clock time): which folder, since when, and that Cancel waits no longer.
    static std::string notAnswering(const std::string& folder, std::chrono::steady_clock::time_point since,
                                    std::time_t at);

private:
    const std::string folder_, doing_;
    std::function<void()> work_;
    std::shared_ptr<Vexa::DetachableCall> call_;
    bool ranHere_ = false;
    std::exception_ptr failure_;
    std::atomic<bool> cancelled_{false};
    mutable std::atomic<bool> told_{false};
};
