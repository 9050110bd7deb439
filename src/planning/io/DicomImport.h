#pragma once
// The DICOM import job: reads a series through the DICOM manager and makes it the volume of a
// fresh planning (planning state 1). Runs in a worker thread under the progress dialog; a
// failed or cancelled import leaves the Model and the settings as they were and keeps its
// reason as the error text.
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class Model;
class Settings;

namespace Vexa {
class DicomIOManager;
}

class DicomImport : public Vexa::IAlgorithmProgressState
{
public:
    // Progress 0, empty error text; resets the manager's progress.
    DicomImport(const std::vector<std::string>& files, std::shared_ptr<Model> model,
                std::shared_ptr<Settings> settings, Vexa::DicomIOManager& manager);

    // Imports the files; true on success. Never throws.
    bool start() override;
    // Cancels the manager's import; the job then fails with the manager's text.
    void cancel() override;
    double getProgressState() const override;
    std::string getShortDescription() const override;
    bool isCancelable() const override;

    // Why the last start failed; empty after success.
    const std::string& getErrorMessage() const { return errorMessage_; }

private:
    void import();

    std::vector<std::string> files_;
    std::shared_ptr<Model> model_;
    std::shared_ptr<Settings> settings_;
    Vexa::DicomIOManager& manager_;
    std::string errorMessage_;
    std::atomic<bool> finished_{false};
};
