#pragma once
// Waiting for the treatment log still being stored, as a job, so that quitting can show what it
// waits for under the progress dialog (another instance's save of the planning may hold the log
// up for seconds).
#include "vexa/core/IAlgorithmProgressState.h"

#include <memory>
#include <mutex>
#include <string>

class Model;

class TreatmentLogWaitJob : public Vexa::IAlgorithmProgressState
{
public:
    explicit TreatmentLogWaitJob(std::shared_ptr<const Model> model);
    // Returns once every treatment log handed over is stored.
    bool start() override;
    void cancel() override {}
    double getProgressState() const override { return 0.0; }
    // "Storing the treatment log", and what that waits for once it waits.
    std::string getShortDescription() const override;
    bool isCancelable() const override { return false; }

private:
    std::shared_ptr<const Model> model_;
    mutable std::mutex mutex_;
    std::string waitingFor_;
};
