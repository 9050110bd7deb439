#pragma once
// The Specific Character Set (0008,0005) of a data set, and text values turned from its bytes into
// UTF-8. Covers the default repertoire, UTF-8 and the single-byte sets; for a set the platform
// cannot convert, and for bytes a set leaves undefined, bytes above 0x7F are taken as Latin-1, so
// that a name is never lost, only at worst shown with a wrong accent.
#include "dicom/io/DicomVR.h"

#include <array>
#include <string>
#include <string_view>

namespace Vexa {

class DicomCharacterSet
{
public:
    // The default repertoire (no (0008,0005)): ASCII, other bytes as Latin-1.
    DicomCharacterSet();
    // From the text of (0008,0005); a multi-valued one is read by its first value that names a set.
    explicit DicomCharacterSet(std::string_view specificCharacterSet);

    // The VRs whose values are written in the data set's character set.
    static bool appliesTo(const DicomVR& vr);
    // The value's bytes as UTF-8.
    std::string toUtf8(std::string_view bytes) const;

    // Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
    static bool isUtf8(std::string_view bytes);
    // Each byte as the Latin-1 character of that number, in UTF-8.
    static std::string latin1ToUtf8(std::string_view bytes);
    // Text as it is when it is UTF-8, else taken as Latin-1: texts written before everything was
    // kept in UTF-8 held a name's raw single-byte bytes.
    static std::string utf8OrLatin1(std::string_view bytes);

private:
    using Table = std::array<char32_t, 128>; // characters of the bytes 0x80 to 0xFF
    bool utf8_ = false;
    const Table* table_ = nullptr; // null: Latin-1
};

}
