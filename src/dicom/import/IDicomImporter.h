#pragma once
// An importer of one kind of DICOM series. Header reads are independent of the import job and
// may run in any thread; the job itself (setFiles, start, getData) runs in one thread at a time.
#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class IDicomImporter : public IAlgorithmProgressState
{
public:
    // The readability test: whether this importer takes the file. Never throws.
    virtual bool canRead(const std::string& file) const = 0;
    // The header of one file (everything before the pixel data), and whether the pixel data
    // the header declares fit into the file (DicomInformation::damage).
    virtual std::shared_ptr<DicomInformation> readInformation(const std::string& file) const = 0;
    // The files of the series to import by the next start().
    virtual void setFiles(const std::vector<std::string>& files) = 0;
    // The result of the last successful start(), null before.
    virtual std::shared_ptr<DicomData> getData() const = 0;
    // Sets the progress back to 0 and clears a pending cancel.
    virtual void resetProgress() = 0;
};

}
