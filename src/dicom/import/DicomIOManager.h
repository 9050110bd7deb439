#pragma once
// The registry of DICOM importers of a run, and the job that imports a series with the importer
// that takes its first file. Importers are asked in the order they were inserted; their
// readability tests exclude each other, so the order decides nothing in practice.
#include "dicom/import/IDicomImporter.h"

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class DicomIOManager : public IAlgorithmProgressState
{
public:
    DicomIOManager();
    ~DicomIOManager() override;
    DicomIOManager(const DicomIOManager&) = delete;
    DicomIOManager& operator=(const DicomIOManager&) = delete;

    // Takes ownership of the importer (deleted with the manager); null and repeats are ignored.
    void insertImporter(IDicomImporter* importer);
    // The header of one file, read by the first importer that takes it; DicomException 20005
    // when none does. Safe to call from any thread while no importer is inserted.
    std::shared_ptr<DicomInformation> readInformation(const std::string& file) const;
    // Why reading the file failed, in words for the user: the error's text without its code and
    // without the file's path, which the user is shown beside it.
    static std::string reasonOf(const std::exception& error, const std::string& file);

    // The files of the series that start() imports.
    void setFiles(const std::vector<std::string>& files);
    // The imported data after a successful start(), else null.
    std::shared_ptr<DicomData> getData() const;
    // Progress back to 0, no pending cancel; the data of an earlier run is dropped.
    void resetProgress();
    bool isRunning() const { return running_; }

    // Imports the files with the importer that takes the first one. Throws DicomException on any
    // failure, cancellation included (20113); true on success.
    bool start() override;
    void cancel() override;
    double getProgressState() const override;
    std::string getShortDescription() const override;
    bool isCancelable() const override;

private:
    IDicomImporter* importerFor(const std::string& file) const;
    // The first importer that reads the file; DicomException 20005 naming a missing file or,
    // for an existing one, that no importer reads it.
    IDicomImporter* requireImporterFor(const std::string& file) const;

    std::vector<std::unique_ptr<IDicomImporter>> importers_;
    std::vector<std::string> files_;
    std::shared_ptr<DicomData> data_;
    std::atomic<IDicomImporter*> active_{nullptr};
    std::atomic<bool> running_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<double> finished_{0.0};
};

}
