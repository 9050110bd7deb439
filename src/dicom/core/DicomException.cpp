#include "dicom/core/DicomException.h"

namespace Vexa {

DicomException::DicomException(int code)
    : std::runtime_error("DICOM error " + std::to_string(code))
    , code_(code)
{
}

DicomException::DicomException(int code, const std::string& message)
    : std::runtime_error("DICOM error " + std::to_string(code) + ": " + message)
    , code_(code)
{
}

}
