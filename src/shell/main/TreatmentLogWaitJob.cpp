#include "shell/main/TreatmentLogWaitJob.h"

#include "planning/model/Model.h"

#include <algorithm>
#include <cmath>

TreatmentLogWaitJob::TreatmentLogWaitJob(std::shared_ptr<const Model> model, std::chrono::milliseconds most)
    : model_(std::move(model)), most_(most)
{
}

bool TreatmentLogWaitJob::start()
{
    model_->hurryTreatmentLog(begun_ + most_);
    model_->waitForTreatmentLog([this](const std::string& what) {
        std::lock_guard lock(mutex_);
        waitingFor_ = what;
    });
    return true;
}

double TreatmentLogWaitJob::getProgressState() const
{
    const auto gone = std::chrono::steady_clock::now() - begun_;
    return most_.count() > 0 ? std::clamp(std::chrono::duration<double>(gone) / most_, 0.0, 1.0) : 1.0;
}

std::string TreatmentLogWaitJob::getShortDescription() const
{
    std::lock_guard lock(mutex_);
    if (waitingFor_.empty())
        return "Storing the treatment log";
    const auto left = std::chrono::duration<double>(begun_ + most_ - std::chrono::steady_clock::now()).count();
    return "Storing the treatment log: waiting for " + waitingFor_ + "; it waits " +
           (left > 0 ? "at most " + std::to_string(static_cast<long>(std::ceil(left))) + " s more" : "no longer") + ".";
}
