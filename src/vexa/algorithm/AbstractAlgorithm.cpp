#include "vexa/algorithm/AbstractAlgorithm.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <exception>
#include <new>

namespace Vexa {

AbstractAlgorithm::AbstractAlgorithm(std::string title, std::string unknownErrorText)
    : title_(std::move(title)), unknownErrorText_(std::move(unknownErrorText))
{
}

void AbstractAlgorithm::cancel()
{
    cancelRequested_ = true;
}

double AbstractAlgorithm::getProgressState() const
{
    return progress_.load();
}

std::string AbstractAlgorithm::getShortDescription() const
{
    return title_;
}

bool AbstractAlgorithm::isCancelable() const
{
    return true;
}

const std::string& AbstractAlgorithm::getErrorMessage() const
{
    return errorMessage_;
}

bool AbstractAlgorithm::wasCancelled() const
{
    return cancelled_;
}

bool AbstractAlgorithm::run(const std::function<bool()>& body)
{
    // A cancel that arrives before the body starts must still stop it, so the request is
    // not cleared here: the dialog may press cancel while the worker thread is starting.
    progress_ = 0.0;
    errorMessage_.clear();
    cancelled_ = false;
    try
    {
        if (cancelRequested_)
            return cancelled();
        const bool ok = body();
        if (ok)
            progress_ = 1.0;
        return ok;
    }
    catch (const std::bad_alloc&)
    {
        errorMessage_ = "Not enough memory.";
    }
    catch (const std::exception& e)
    {
        errorMessage_ = e.what();
    }
    catch (...)
    {
        errorMessage_ = unknownErrorText_;
    }
    return false;
}

void AbstractAlgorithm::setProgress(double progress)
{
    progress_ = std::clamp(progress, 0.0, 1.0);
}

bool AbstractAlgorithm::isCancelRequested() const
{
    return cancelRequested_.load(std::memory_order_relaxed);
}

bool AbstractAlgorithm::cancelled()
{
    cancelled_ = true;
    errorMessage_ = "Cancelled.";
    return false;
}

}
