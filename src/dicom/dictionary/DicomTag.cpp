#include "dicom/dictionary/DicomTag.h"

#include <cstdio>

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

std::string DicomTag::text(std::uint32_t tagWord)
{
    char text[16];
    std::snprintf(text, sizeof text, "(%04X,%04X)", groupOf(tagWord), elementOf(tagWord));
    return text;
}

void DicomTag::addValueRepresentation(EDicomTagValueRepresentation vr)
{
    vrs_.push_back(vr);
}

}
