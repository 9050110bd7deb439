#pragma once
// A value representation as the two letters written in a file. Knows every VR of the current
// standard (more than the dictionary's 26), because the explicit-VR length layout differs by VR
// and a single unknown layout would desynchronise the rest of the file.
#include <cstddef>
#include <cstdint>
#include <string>

namespace Vexa {

class DicomVR
{
public:
    constexpr DicomVR() = default;
    constexpr DicomVR(char a, char b) : code_(uint16_t(uint8_t(a)) << 8 | uint8_t(b)) {}
    static constexpr DicomVR fromBytes(const uint8_t* p) { return DicomVR(char(p[0]), char(p[1])); }

    constexpr bool operator==(const DicomVR&) const = default;
    constexpr char first() const { return char(code_ >> 8); }
    constexpr char second() const { return char(code_ & 0xFF); }
    std::string text() const { return std::string{first(), second()}; }
    constexpr bool isEmpty() const { return code_ == 0; }

    // One of the VRs of the current standard.
    constexpr bool isKnown() const
    {
        for (const char* p = all; *p; p += 2)
            if (DicomVR(p[0], p[1]) == *this)
                return true;
        return false;
    }
    // Explicit VR elements of these VRs have two reserved bytes and a 32-bit length.
    constexpr bool hasLongLength() const
    {
        for (const char* p = longForm; *p; p += 2)
            if (DicomVR(p[0], p[1]) == *this)
                return true;
        return false;
    }
    // Character data.
    constexpr bool isText() const
    {
        for (const char* p = textual; *p; p += 2)
            if (DicomVR(p[0], p[1]) == *this)
                return true;
        return false;
    }
    // Size of one binary number of this VR, 0 for text and bulk data.
    constexpr std::size_t numberSize() const
    {
        if (*this == DicomVR('U', 'S') || *this == DicomVR('S', 'S'))
            return 2;
        if (*this == DicomVR('U', 'L') || *this == DicomVR('S', 'L') || *this == DicomVR('F', 'L') ||
            *this == DicomVR('A', 'T'))
            return 4;
        if (*this == DicomVR('F', 'D') || *this == DicomVR('S', 'V') || *this == DicomVR('U', 'V'))
            return 8;
        return 0;
    }
    // Unit by which byte order is swapped in big-endian files (1 = never swapped).
    constexpr std::size_t swapUnit() const
    {
        if (numberSize() == 4 && *this == DicomVR('A', 'T'))
            return 2;
        if (numberSize())
            return numberSize();
        if (*this == DicomVR('O', 'W'))
            return 2;
        if (*this == DicomVR('O', 'F') || *this == DicomVR('O', 'L'))
            return 4;
        if (*this == DicomVR('O', 'D') || *this == DicomVR('O', 'V'))
            return 8;
        return 1;
    }

private:
    static constexpr const char* all = "AEASATCSDADSDTFDFLISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV";
    static constexpr const char* longForm = "OBODOFOLOVOWSQUCUNURUTSVUV";
    static constexpr const char* textual = "AEASCSDADSDTISLOLTPNSHSTTMUCUIURUT";
    uint16_t code_ = 0;
};

}
