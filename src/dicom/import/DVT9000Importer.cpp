#include "dicom/import/DVT9000Importer.h"

namespace Vexa {

DVT9000Importer::DVT9000Importer() = default;

int DVT9000Importer::imageDeviceOf(const std::map<uint32_t, std::string>&) const
{
    return DicomInformation::DVT;
}

std::string DVT9000Importer::getShortDescription() const
{
    return "Importing DVT 9000 series";
}

bool DVT9000Importer::acceptsHeader(const std::map<uint32_t, std::string>* values) const
{
    // Exactly the files the generic importer leaves, so that registration order cannot matter.
    return values && !UniversalImporter::acceptsHeader(values);
}

}
