#include "shell/main/FolderCall.h"

#include "platform/DebugOutput.h"

#include <QDateTime>
#include <system_error>
#include <utility>

FolderCall::FolderCall(std::string folder, std::string doing, std::function<void()> work)
    : folder_(std::move(folder)), doing_(std::move(doing)), work_(std::move(work))
{
}

void FolderCall::begin()
{
    if (call_ || ranHere_)
        return;
    // The work is kept until the thread has it: without one it is made here.
    auto work = std::make_shared<std::function<void()>>(std::move(work_));
    try {
        call_ = std::make_shared<Vexa::DetachableCall>([work] { (*work)(); });
        return;
    } catch (const std::system_error& e) {
        Platform::outputDebugString(std::string("no thread for a call on the patient folder ") + folder_ + ": " + e.what() +
                                    "; it is made in the window's thread\n");
    }
    ranHere_ = true;
    try {
        (*work)();
    } catch (...) {
        failure_ = std::current_exception();
    }
}

bool FolderCall::returnedWithin(std::chrono::steady_clock::duration bound)
{
    begin();
    return ranHere_ || call_->waitFor(bound);
}

bool FolderCall::start()
{
    begin();
    if (ranHere_)
        return true;
    // Looked at often enough that Cancel (and the program's end) goes at once.
    while (!cancelled_.load())
        if (call_->waitFor(std::chrono::milliseconds(50)))
            return true;
    return false;
}

std::string FolderCall::getShortDescription() const
{
    if (!call_ || std::chrono::steady_clock::now() - call_->begun() < quiet)
        return doing_;
    const std::string text = notAnswering(folder_, call_->begun(), call_->begunAt());
    // Once in the debug output as well, where a run's waits can be read afterwards.
    if (!told_.exchange(true))
        Platform::outputDebugString(doing_ + ": " + text + "\n");
    return text;
}

void FolderCall::rethrow() const
{
    if (failure_)
        std::rethrow_exception(failure_);
    if (call_)
        call_->rethrow();
}

std::string FolderCall::notAnswering(const std::string& folder, std::chrono::steady_clock::time_point since,
                                     std::time_t at)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since).count();
    return "The patient folder " + folder + " has not answered since " +
           QDateTime::fromSecsSinceEpoch(at).toString("hh:mm:ss").toStdString() + " (" + std::to_string(seconds) +
           " s): waiting for it. Cancel waits no longer.";
}
