#pragma once
// The Specific Character Set (0008,0005) of a data set, and text values turned from its bytes into
// UTF-8. Covers the default repertoire, UTF-8, the single-byte sets and the code extensions of ISO
// 2022: escape sequences designate the single-byte sets and, where the platform converts them, the
// Japanese, Korean and Chinese multi-byte sets; and GB18030 (GBK among it), whose characters of one,
// two or four bytes need no code extensions. Bytes above 0x7F for which no set is designated
// are taken as Latin-1, so that a name is never lost, only at worst shown with a wrong accent. No
// escape or control character is ever passed on: bytes a set leaves undefined, C1 controls and
// sets the platform cannot convert show as U+FFFD.
#include "dicom/io/DicomVR.h"

#include <string>
#include <string_view>

namespace Vexa {

class DicomCharacterSet
{
public:
    struct CodeElement;

    // The default repertoire (no (0008,0005)): text that is valid UTF-8 is taken as such, as some
    // devices write it; else ASCII, other bytes as Latin-1.
    DicomCharacterSet();
    // From the text of (0008,0005): value 1 is the set each value starts in, the others the sets
    // escape sequences may switch to. An empty text is the default repertoire.
    explicit DicomCharacterSet(std::string_view specificCharacterSet);

    // The VRs whose values are written in the data set's character set.
    static bool appliesTo(const DicomVR& vr);
    // The value's bytes as UTF-8. A person name's component groups and components ('=', '^') start
    // in the initial sets again, as every value, line and tab does.
    std::string toUtf8(std::string_view bytes, bool personName = false) const;

    // Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
    static bool isUtf8(std::string_view bytes);
    // Each byte as the Latin-1 character of that number, in UTF-8.
    static std::string latin1ToUtf8(std::string_view bytes);
    // Text as it is when it is UTF-8, else taken as Latin-1: texts written before everything was
    // kept in UTF-8 held a name's raw single-byte bytes.
    static std::string utf8OrLatin1(std::string_view bytes);

private:
    std::string iso2022ToUtf8(std::string_view bytes, bool personName) const;
    static std::string gb18030ToUtf8(std::string_view bytes);

    bool given_ = false; // (0008,0005) names a set
    bool utf8_ = false;
    bool gb18030_ = false; // GB18030 or its subset GBK
    const CodeElement* g1_; // the set of bytes above 0x7F before any escape sequence
};

}
