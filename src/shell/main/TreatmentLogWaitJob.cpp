#include "shell/main/TreatmentLogWaitJob.h"

#include "planning/model/Model.h"

TreatmentLogWaitJob::TreatmentLogWaitJob(std::shared_ptr<const Model> model) : model_(std::move(model)) {}

bool TreatmentLogWaitJob::start()
{
    model_->waitForTreatmentLog([this](const std::string& what) {
        std::lock_guard lock(mutex_);
        waitingFor_ = what;
    });
    return true;
}

std::string TreatmentLogWaitJob::getShortDescription() const
{
    std::lock_guard lock(mutex_);
    return waitingFor_.empty() ? "Storing the treatment log" : "Storing the treatment log: waiting for " + waitingFor_;
}
