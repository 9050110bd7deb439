#pragma once
// Waiting for the treatment log still being stored, as a job, so that quitting can show what it
// waits for under the progress dialog (another instance's save of the planning may hold the log
// up for seconds).
#include "vexa/core/IAlgorithmProgressState.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

class Model;

class TreatmentLogWaitJob : public Vexa::IAlgorithmProgressState
{
public:
    // `most`: how long the whole wait may wait for others (another instance's save); the looks
    // for the planning's place that are left share it.
    explicit TreatmentLogWaitJob(std::shared_ptr<const Model> model,
                                 std::chrono::milliseconds most = std::chrono::seconds(10));
    // Returns once every treatment log handed over is stored.
    bool start() override;
    void cancel() override {}
    // The part of the longest wait gone by.
    double getProgressState() const override;
    // "Storing the treatment log", and what that waits for once it waits, with the seconds left
    // until it waits no longer.
    std::string getShortDescription() const override;
    bool isCancelable() const override { return false; }

private:
    std::shared_ptr<const Model> model_;
    const std::chrono::milliseconds most_;
    const std::chrono::steady_clock::time_point begun_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::string waitingFor_;
};
