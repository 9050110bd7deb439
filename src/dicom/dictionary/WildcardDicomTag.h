#pragma once
// A dictionary entry for a repeating group or element, such as (60xx,3000): the mask clears the
// free digits, laid out like a tag word (0xFFFFFF00 frees the low byte of the group).
#include "dicom/dictionary/DicomTag.h"

namespace Vexa {

class WildcardDicomTag : public DicomTag
{
public:
    // Stores tagWord & mask as the entry's tag word.
    WildcardDicomTag(unsigned int tagWord, unsigned int mask, EDicomTagValueRepresentation vr,
                     const std::string& name, const std::string& version);
    ~WildcardDicomTag() override;

    unsigned int mask() const noexcept { return mask_; }
    bool matches(unsigned int tagWord) const noexcept { return (tagWord & mask_) == tagWord_; }

private:
    unsigned int mask_;
};

}
