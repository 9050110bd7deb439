#pragma once
// Value representations known to the dictionary. The numbers are stored in the dictionary
// tables and must not change.
#include <cstdint>
#include <string_view>

namespace Vexa {

enum class EDicomTagValueRepresentation : std::int32_t
{
    CS = 0, DA = 1, DS = 2, IS = 3, LO = 4, LT = 5, OB = 6, PN = 7, SH = 8,
    SQ = 9, ST = 10, TM = 11, UI = 12, UL = 13, US = 14, AE = 15, AS = 16, SS = 17,
    AT = 18, SL = 19, FD = 20, FL = 21, OW = 22, DT = 23, UT = 24, UN = 25
};

inline constexpr int valueRepresentationCount = 26;

// The two-letter text of a VR ("CS" for CS); "" for a value outside the 26 codes.
std::string_view valueRepresentationName(EDicomTagValueRepresentation vr) noexcept;

// Maps a two-letter text to its VR. Any other text gives false and leaves vr at CS.
bool parseValueRepresentation(std::string_view text, EDicomTagValueRepresentation& vr) noexcept;

}
