#include "dicom/import/DicomInformation.h"

namespace Vexa {

DicomInformation::DicomInformation(std::map<uint32_t, std::string> values, int device)
    : values_(std::move(values))
    , device_(device)
{
}

std::pair<std::string, bool> DicomInformation::getValue(unsigned tagWord) const
{
    auto found = values_.find(tagWord);
    if (found == values_.end())
        return {std::string(), false};
    return {found->second, true};
}

int DicomInformation::getImageDevice()
{
    return device_;
}

std::string DicomInformation::getImageDeviceName() const
{
    switch (device_) {
    case Unknown: return "Unknown";
    case CT: return "CT";
    case DVT: return "DVT";
    case OPG: return "OPG";
    default: return std::string();
    }
}

}
