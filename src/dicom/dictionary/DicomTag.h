#pragma once
// One entry of the DICOM data dictionary: a tag, its value representations (the first is the
// one used for values written without a VR) and its name and dictionary version label.
#include "dicom/dictionary/EDicomTagValueRepresentation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Vexa {

class DicomTag
{
public:
    using EDicomTagValueRepresentation = ::Vexa::EDicomTagValueRepresentation;

    // Tag words carry the element number in the high 16 bits and the group in the low 16 bits:
    // (0018,1156) is 0x11560018.
    static constexpr std::uint32_t tagWord(std::uint16_t group, std::uint16_t element) noexcept
    {
        return (static_cast<std::uint32_t>(element) << 16) | group;
    }
    static constexpr std::uint16_t groupOf(std::uint32_t tagWord) noexcept
    {
        return static_cast<std::uint16_t>(tagWord & 0xFFFFu);
    }
    static constexpr std::uint16_t elementOf(std::uint32_t tagWord) noexcept
    {
        return static_cast<std::uint16_t>(tagWord >> 16);
    }
    // "(GGGG,EEEE)", the way messages name a tag.
    static std::string text(std::uint32_t tagWord);

    DicomTag(unsigned int tagWord, EDicomTagValueRepresentation vr, const std::string& name,
             const std::string& version);
    virtual ~DicomTag();

    DicomTag(const DicomTag&) = delete;
    DicomTag& operator=(const DicomTag&) = delete;

    unsigned int tagWord() const noexcept { return tagWord_; }
    const std::vector<EDicomTagValueRepresentation>& valueRepresentations() const noexcept { return vrs_; }
    // The entry's own VR: the first of its list.
    EDicomTagValueRepresentation valueRepresentation() const noexcept { return vrs_.front(); }
    const std::string& name() const noexcept { return name_; }
    const std::string& version() const noexcept { return version_; }

    // Appends a further VR; one already in the list is appended again.
    void addValueRepresentation(EDicomTagValueRepresentation vr);

protected:
    unsigned int tagWord_;

private:
    std::vector<EDicomTagValueRepresentation> vrs_;
    std::string name_;
    std::string version_;
};

}
