#include "dicom/import/DicomIOManager.h"

#include "dicom/core/DicomException.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomFile.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace Vexa {

DicomIOManager::DicomIOManager() = default;
DicomIOManager::~DicomIOManager() = default;

void DicomIOManager::insertImporter(IDicomImporter* importer)
{
    if (!importer)
        return;
    for (const auto& known : importers_)
        if (known.get() == importer)
            return;
    importers_.emplace_back(importer);
}

IDicomImporter* DicomIOManager::importerFor(const std::string& file) const
{
    for (const auto& importer : importers_)
        if (importer->canRead(file))
            return importer.get();
    return nullptr;
}

IDicomImporter* DicomIOManager::requireImporterFor(const std::string& file) const try {
    if (IDicomImporter* importer = importerFor(file))
        return importer;
    // Name the usual cause plainly: a file that is not there is no file of an unknown kind.
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        throw DicomException(DicomException::NoImporter, file + ": the file does not exist");
    // A file that cannot be opened (no permission, a directory) says so rather than that it is
    // of an unknown kind.
    try {
        DicomFile opened(file);
    } catch (const DicomException& unreadable) {
        throw DicomException(DicomException::NoImporter, reasonOf(unreadable, std::string()));
    }
    throw DicomException(DicomException::NoImporter, file + ": no importer reads this file");
} VEXA_RETHROW

std::string DicomIOManager::reasonOf(const std::exception& error, const std::string& file)
{
    std::string_view text = error.what();
    // "DICOM error <code>: " and the path the message starts with say nothing the user does not see.
    if (text.substr(0, 12) == "DICOM error ") {
        const std::size_t colon = text.find(": ");
        if (colon != std::string_view::npos)
            text.remove_prefix(colon + 2);
    }
    if (!file.empty() && text.substr(0, file.size() + 2) == file + ": ")
        text.remove_prefix(file.size() + 2);
    if (text == "no importer reads this file")
        return "not a DICOM file";
    const auto* dicomError = dynamic_cast<const DicomException*>(&error);
    if (dicomError && dicomError->code() == DicomTruncated)
        return "the file is cut short: " + std::string(text);
    return std::string(text);
}

std::shared_ptr<DicomInformation> DicomIOManager::readInformation(const std::string& file) const try {
    return requireImporterFor(file)->readInformation(file);
} VEXA_RETHROW

void DicomIOManager::setFiles(const std::vector<std::string>& files)
{
    files_ = files;
}

std::shared_ptr<DicomData> DicomIOManager::getData() const
{
    return data_;
}

void DicomIOManager::resetProgress()
{
    cancelled_ = false;
    finished_ = 0.0;
    data_.reset();
    for (const auto& importer : importers_)
        importer->resetProgress();
}

bool DicomIOManager::start() try {
    struct Running
    {
        DicomIOManager& manager;
        ~Running()
        {
            manager.active_ = nullptr;
            manager.running_ = false;
        }
    } running{*this};
    running_ = true;
    data_.reset();
    finished_ = 0.0;
    if (files_.empty())
        throw DicomException(DicomNoFiles, "no files to import");
    IDicomImporter* importer = requireImporterFor(files_.front());
    importer->resetProgress();
    active_ = importer;
    if (cancelled_) {
        importer->cancel();
        throw DicomException(DicomImportCancelled, "import cancelled");
    }
    importer->setFiles(files_);
    importer->start();
    data_ = importer->getData();
    finished_ = 1.0;
    return true;
} VEXA_RETHROW

void DicomIOManager::cancel()
{
    cancelled_ = true;
    if (IDicomImporter* importer = active_)
        importer->cancel();
}

double DicomIOManager::getProgressState() const
{
    if (IDicomImporter* importer = active_)
        return importer->getProgressState();
    return finished_;
}

std::string DicomIOManager::getShortDescription() const
{
    return "Importing DICOM data";
}

bool DicomIOManager::isCancelable() const
{
    return true;
}

}
