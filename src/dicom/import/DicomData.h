#pragma once
// Data produced by a DICOM import, with the header information of the series.
#include "dicom/import/DicomInformation.h"

#include <memory>

namespace Vexa {

class DicomData
{
public:
    explicit DicomData(std::shared_ptr<DicomInformation> information);
    virtual ~DicomData();

    std::shared_ptr<DicomInformation> getInformation() const { return information_; }

private:
    std::shared_ptr<DicomInformation> information_;
};

}
