#include "DetachableCall.h"

#include <thread>

namespace Vexa {

DetachableCall::DetachableCall(std::function<void()> work)
    : shared_(std::make_shared<Shared>()), begun_(Clock::now()), begunAt_(std::time(nullptr))
{
    std::thread([shared = shared_, work = std::move(work)] {
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(shared->mutex);
        shared->failure = failure;
        shared->returned = true;
        if (shared->left)
            --out_;
        shared->done.notify_all();
    }).detach();
}

DetachableCall::~DetachableCall()
{
    std::lock_guard lock(shared_->mutex);
    if (!shared_->returned) {
        shared_->left = true;
        ++out_;
    }
}

bool DetachableCall::waitUntil(Clock::time_point deadline)
{
    std::unique_lock lock(shared_->mutex);
    return shared_->done.wait_until(lock, deadline, [this] { return shared_->returned; });
}

bool DetachableCall::returned() const
{
    std::lock_guard lock(shared_->mutex);
    return shared_->returned;
}

void DetachableCall::rethrow() const
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(shared_->mutex);
        failure = shared_->failure;
    }
    if (failure)
        std::rethrow_exception(failure);
}

}
