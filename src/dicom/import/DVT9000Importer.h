#pragma once
// The importer of DVT 9000 series: files whose Manufacturer's Model Name (0008,1090) contains
// "9000". Their volumes are cone-beam densities, stored raw.
#include "dicom/import/UniversalImporter.h"

namespace Vexa {

class DVT9000Importer : public UniversalImporter
{
public:
    DVT9000Importer();

    int imageDeviceOf(const std::map<uint32_t, std::string>& values) const override;
    std::string getShortDescription() const override;

protected:
    bool acceptsHeader(const std::map<uint32_t, std::string>* values) const override;
};

}
