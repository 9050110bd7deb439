#pragma once
// Reads a DICOM file held in memory: the optional preamble and meta header, then the data set in
// implicit VR little endian, explicit VR little endian or explicit VR big endian. Every length is
// checked against the bytes that remain before it is used, values are never copied out of the
// buffer, and sequences are walked with a nesting limit so that no input can exhaust the stack.
#include "dicom/io/DicomElement.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vexa {

class DicomParser
{
public:
    enum class Encoding { ImplicitLittle, ExplicitLittle, ExplicitBig };

    // Decides the VR of a top-level element: for an explicit VR it receives the VR as written and
    // returns the VR to use (or throws to refuse it); for an implicit VR it receives an empty VR
    // and returns the dictionary's VR, UN when it has none. Inside sequences, whose values are
    // never read, an explicit VR is taken as written. A top-level element written as UN is read
    // by the VR its implicit form gets (its bytes are implicit little endian), unless that is
    // UN or SQ or does not fit the value's length.
    using VRResolver = std::function<DicomVR(uint16_t group, uint16_t element, bool explicitVR, DicomVR written)>;

    static constexpr int maxNesting = 64;

    // data must stay valid while the parser is used. source names the data in error texts.
    DicomParser(const uint8_t* data, std::size_t size, std::string source, VRResolver resolver = {});

    // "DICM" after a 128-byte preamble.
    bool hasPreamble() const;
    // The first four bytes read as a little-endian tag word; false when there are fewer.
    bool firstTagWord(uint32_t& word) const;

    // Reads the meta header, when there is one, and settles how the data set is encoded.
    // Must be called once before next().
    void open();
    const std::vector<DicomElement>& metaElements() const { return meta_; }
    // The transfer syntax UID of the meta header, "" when it names none.
    const std::string& transferSyntax() const { return transferSyntax_; }
    Encoding encoding() const { return encoding_; }
    // Pixel data stored in fragments (a compressed transfer syntax).
    bool isEncapsulated() const { return encapsulated_; }

    // When set, next() stops in front of the pixel data (7FE0,0010) without reading its value,
    // so that a header can be read from the beginning of a file only.
    void setStopAtPixelData(bool stop) { stopAtPixelData_ = stop; }
    bool reachedPixelData() const { return reachedPixelData_; }
    // After next() stopped in front of the pixel data: the header of the pixel data element,
    // whose value must fit into totalSize bytes (the size of the whole file when the parser
    // holds only its beginning). The value itself is not read; an undefined length (fragments)
    // is returned as such. A value past totalSize, or a file that ends inside the element's
    // header, is DicomTruncated, told in words for the user.
    DicomElement pixelDataHeader(std::size_t totalSize) const;

    // The next element of the top level of the data set; its sequences are checked and passed
    // over. False at the end of the data (or before the pixel data, see above).
    bool next(DicomElement& element);

    // The value as text: character data without trailing padding (numbers of DS and IS also
    // without leading blanks), binary numbers in decimal, tags as (gggg,eeee), several values
    // joined by a backslash; "" for bulk data and sequences. Binary numbers are read in the
    // element's own byte order (the meta header and UN values are always little endian).
    std::string text(const DicomElement& element) const;

    bool bigEndian() const { return encoding_ == Encoding::ExplicitBig; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    const std::string& source() const { return source_; }

    [[noreturn]] void fail(int code, const std::string& what, std::size_t offset) const;

private:
    uint16_t u16(std::size_t offset, Encoding encoding) const;
    uint32_t u32(std::size_t offset, Encoding encoding) const;
    void readHeader(std::size_t pos, std::size_t limit, Encoding encoding, DicomElement& element, int depth) const;
    void readValue(DicomElement& element, uint32_t length, std::size_t limit, Encoding encoding, int depth) const;
    std::size_t readItems(std::size_t pos, std::size_t limit, Encoding encoding, int depth, bool undefined,
                          bool fragments) const;
    std::size_t readDataSet(std::size_t pos, std::size_t limit, Encoding encoding, int depth, bool untilDelimiter) const;
    DicomVR resolve(uint16_t group, uint16_t element, bool explicitVR, DicomVR written) const;

    const uint8_t* data_;
    std::size_t size_;
    std::string source_;
    VRResolver resolver_;
    std::vector<DicomElement> meta_;
    std::string transferSyntax_;
    Encoding encoding_ = Encoding::ImplicitLittle;
    bool encapsulated_ = false;
    bool opened_ = false;
    bool stopAtPixelData_ = false;
    bool reachedPixelData_ = false;
    std::size_t pos_ = 0;
};

}
