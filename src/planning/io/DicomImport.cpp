#include "planning/io/DicomImport.h"

#include <mutex>

#include "dicom/core/DicomException.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/core/ExceptionStack.h"

#include <stdexcept>

DicomImport::DicomImport(const std::vector<std::string>& files, std::shared_ptr<Model> model,
                         std::shared_ptr<Settings> settings, Vexa::DicomIOManager& manager) try
    : files_(files), model_(std::move(model)), settings_(std::move(settings)), manager_(manager)
{
    if (!model_ || !settings_)
        throw std::runtime_error("DicomImport: a model and settings are required");
    manager_.resetProgress();
}
VEXA_RETHROW

bool DicomImport::start()
{
    errorMessage_.clear();
    finished_ = false;
    try {
        import();
        finished_ = true;
        return true;
    } catch (const std::exception& e) {
        errorMessage_ = e.what();
    } catch (...) {
        errorMessage_ = "An unknown error has occurred during importing the patient data.";
    }
    if (errorMessage_.empty())
        errorMessage_ = "The patient data could not be imported.";
    return false;
}

void DicomImport::import() try
{
    if (files_.empty())
        throw std::runtime_error("No DICOM files were chosen for the import.");
    manager_.setFiles(files_);
    try {
        manager_.start();
    } catch (const Vexa::DicomException& error) {
        // A fault of one file names it and says what is wrong in words: the reader's code and
        // form ("DICOM error 20100: <file>: ...") tell the user nothing.
        const std::string text = error.what();
        const std::size_t start = text.find(": ");
        for (const std::string& file : files_)
            if (start != std::string::npos && text.compare(start + 2, file.size() + 2, file + ": ") == 0) {
                std::string reason = Vexa::DicomIOManager::reasonOf(error, file);
                if (!reason.empty() && reason.back() != '.')
                    reason += '.';
                throw std::runtime_error("The DICOM file " + file + " could not be imported: " + reason);
            }
        throw;
    }
    const auto data = std::dynamic_pointer_cast<Vexa::DicomVolume>(manager_.getData());
    if (!data || !data->getVolumeData())
        throw std::runtime_error("The DICOM import gave no volume.");

    // Everything is read; now the planning changes in one step. An import starts a planning of
    // its own: nothing of an earlier one (and no earlier planning file to overwrite) stays.
    {
        // Views that read the planning meanwhile wait for this step only.
        const auto lock = model_->changeLock();
        try {
            model_->clear();
            model_->setData(data);
        } catch (...) {
            model_->clear();
            throw;
        }
    }
    settings_->reset();
    settings_->setPlanningState(1);
}
VEXA_RETHROW

void DicomImport::cancel()
{
    manager_.cancel();
}

double DicomImport::getProgressState() const
{
    return finished_ ? 1.0 : manager_.getProgressState();
}

std::string DicomImport::getShortDescription() const
{
    return manager_.getShortDescription();
}

bool DicomImport::isCancelable() const
{
    return manager_.isCancelable();
}
