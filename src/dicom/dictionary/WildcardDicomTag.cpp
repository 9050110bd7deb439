#include "dicom/dictionary/WildcardDicomTag.h"

namespace Vexa {

WildcardDicomTag::WildcardDicomTag(unsigned int tagWord, unsigned int mask, EDicomTagValueRepresentation vr,
                                   const std::string& name, const std::string& version)
    : DicomTag(tagWord & mask, vr, name, version)
    , mask_(mask)
{
}

WildcardDicomTag::~WildcardDicomTag() = default;

}
