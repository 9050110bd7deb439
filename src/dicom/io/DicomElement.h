#pragma once
// One element as found in a file: where it lies and how its value is encoded. The value is not
// copied; it stays a range of the buffer that the parser reads.
#include "dicom/dictionary/DicomTag.h"
#include "dicom/io/DicomVR.h"

#include <cstddef>
#include <cstdint>

namespace Vexa {

struct DicomElement
{
    uint16_t group = 0;
    uint16_t element = 0;
    DicomVR vr;                  // the VR by which the value is read
    bool explicitVR = false;     // written with its VR
    bool undefinedLength = false;
    bool bigEndian = false;      // binary numbers of the value are big endian
    bool decodedUN = false;      // written as UN, read by the dictionary's VR (implicit little endian bytes)
    std::size_t offset = 0;      // first byte of the element's header
    std::size_t valueOffset = 0; // first byte of the value
    std::size_t valueLength = 0; // bytes of the value; for undefined lengths up to the delimiter
    std::size_t end = 0;         // first byte after the element, delimiter included

    // element << 16 | group, the key of the dictionary.
    uint32_t tagWord() const { return DicomTag::tagWord(group, element); }
};

}
