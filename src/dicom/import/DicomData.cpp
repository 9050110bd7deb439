#include "dicom/import/DicomData.h"

namespace Vexa {

DicomData::DicomData(std::shared_ptr<DicomInformation> information)
    : information_(std::move(information))
{
}

DicomData::~DicomData() = default;

}
