#include "dicom/dictionary/DicomTag.h"

namespace Vexa {

DicomTag::DicomTag(unsigned int tagWord, EDicomTagValueRepresentation vr, const std::string& name,
                   const std::string& version)
    : tagWord_(tagWord)
    , vrs_{vr}
    , name_(name)
    , version_(version)
{
}

DicomTag::~DicomTag() = default;

void DicomTag::addValueRepresentation(EDicomTagValueRepresentation vr)
{
    vrs_.push_back(vr);
}

}
