#include "dicom/dictionary/EDicomTagValueRepresentation.h"

#include <array>

namespace Vexa {

namespace {

constexpr std::array<std::string_view, valueRepresentationCount> names = {
    "CS", "DA", "DS", "IS", "LO", "LT", "OB", "PN", "SH", "SQ", "ST", "TM", "UI",
    "UL", "US", "AE", "AS", "SS", "AT", "SL", "FD", "FL", "OW", "DT", "UT", "UN"};

}

std::string_view valueRepresentationName(EDicomTagValueRepresentation vr) noexcept
{
    const auto index = static_cast<std::int32_t>(vr);
    if (index < 0 || index >= valueRepresentationCount)
        return {};
    return names[static_cast<std::size_t>(index)];
}

bool parseValueRepresentation(std::string_view text, EDicomTagValueRepresentation& vr) noexcept
{
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        if (names[i] == text)
        {
            vr = static_cast<EDicomTagValueRepresentation>(i);
            return true;
        }
    }
    vr = EDicomTagValueRepresentation::CS;
    return false;
}

}
