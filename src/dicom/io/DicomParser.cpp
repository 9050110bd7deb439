#include "dicom/io/DicomParser.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomTag.h"
#include "dicom/io/DicomErrorCode.h"
#include "vexa/core/ExceptionStack.h"

#include <charconv>
#include <cstring>

namespace Vexa {

namespace {

constexpr uint32_t undefinedLength = 0xFFFFFFFFu;
constexpr uint16_t itemGroup = 0xFFFE;
constexpr uint16_t itemElement = 0xE000;
constexpr uint16_t itemDelimiter = 0xE00D;
constexpr uint16_t sequenceDelimiter = 0xE0DD;

std::string tagText(uint16_t group, uint16_t element)
{
    return DicomTag::text(DicomTag::tagWord(group, element));
}

bool isUpper(uint8_t c)
{
    return c >= 'A' && c <= 'Z';
}

std::string trimmed(const char* begin, const char* end, bool leading)
{
    while (end > begin && (end[-1] == ' ' || end[-1] == '\0'))
        --end;
    if (leading)
        while (begin < end && *begin == ' ')
            ++begin;
    return std::string(begin, end);
}

template<class T>
void appendNumber(std::string& out, T value)
{
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

}

DicomParser::DicomParser(const uint8_t* data, std::size_t size, std::string source, VRResolver resolver)
    : data_(data)
    , size_(data ? size : 0)
    , source_(std::move(source))
    , resolver_(std::move(resolver))
{
}

bool DicomParser::hasPreamble() const
{
    return size_ >= 132 && std::memcmp(data_ + 128, "DICM", 4) == 0;
}

bool DicomParser::firstTagWord(uint32_t& word) const
{
    if (size_ < 4)
        return false;
    word = uint32_t(data_[0]) | uint32_t(data_[1]) << 8 | uint32_t(data_[2]) << 16 | uint32_t(data_[3]) << 24;
    return true;
}

void DicomParser::fail(int code, const std::string& what, std::size_t offset) const
{
    throw DicomException(code, source_ + ": " + what + " at offset " + std::to_string(offset));
}

uint16_t DicomParser::u16(std::size_t offset, Encoding encoding) const
{
    const uint8_t* p = data_ + offset;
    return encoding == Encoding::ExplicitBig ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

uint32_t DicomParser::u32(std::size_t offset, Encoding encoding) const
{
    const uint8_t* p = data_ + offset;
    if (encoding == Encoding::ExplicitBig)
        return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

DicomVR DicomParser::resolve(uint16_t group, uint16_t element, bool explicitVR, DicomVR written) const try {
    if (resolver_)
        return resolver_(group, element, explicitVR, written);
    return explicitVR ? written : DicomVR('U', 'N');
} VEXA_RETHROW

void DicomParser::open() try {
    if (opened_)
        return;
    opened_ = true;
    std::size_t pos = hasPreamble() ? 132 : 0;
    // The meta header is always explicit VR little endian; it ends at the first other group.
    while (size_ - pos >= 4 && u16(pos, Encoding::ExplicitLittle) == 0x0002) {
        DicomElement element;
        readHeader(pos, size_, Encoding::ExplicitLittle, element, 0);
        readValue(element, element.undefinedLength ? undefinedLength : uint32_t(element.valueLength), size_,
                  Encoding::ExplicitLittle, 0);
        meta_.push_back(element);
        if (element.element == 0x0010 && element.vr.isText())
            transferSyntax_ = text(element);
        pos = element.end;
    }
    pos_ = pos;

    if (transferSyntax_.empty()) {
        // No stated syntax: explicit when the bytes after the first tag are a VR.
        bool explicitVR = size_ - pos >= 6 && isUpper(data_[pos + 4]) && isUpper(data_[pos + 5]) &&
                          DicomVR::fromBytes(data_ + pos + 4).isKnown();
        encoding_ = explicitVR ? Encoding::ExplicitLittle : Encoding::ImplicitLittle;
    } else if (transferSyntax_ == "1.2.840.10008.1.2") {
        encoding_ = Encoding::ImplicitLittle;
    } else if (transferSyntax_ == "1.2.840.10008.1.2.1") {
        encoding_ = Encoding::ExplicitLittle;
    } else if (transferSyntax_ == "1.2.840.10008.1.2.2") {
        encoding_ = Encoding::ExplicitBig;
    } else if (transferSyntax_ == "1.2.840.10008.1.2.1.99") {
        fail(DicomUnsupportedSyntax, "deflated transfer syntax " + transferSyntax_ + " is not supported", pos);
    } else {
        // Every other syntax keeps the data set explicit little endian and compresses the pixels.
        encoding_ = Encoding::ExplicitLittle;
        encapsulated_ = true;
    }
    // Some writers state an explicit syntax and write the data set without VRs: a VR is two
    // upper-case letters, so a first element without them is read as implicit.
    if (encoding_ == Encoding::ExplicitLittle && size_ - pos >= 8 && !(isUpper(data_[pos + 4]) && isUpper(data_[pos + 5])))
        encoding_ = Encoding::ImplicitLittle;
} VEXA_RETHROW

void DicomParser::readHeader(std::size_t pos, std::size_t limit, Encoding encoding, DicomElement& element,
                             int depth) const try {
    if (limit < pos || limit - pos < 8)
        fail(DicomTruncated, "truncated element header", pos);
    element = DicomElement();
    element.offset = pos;
    element.group = u16(pos, encoding);
    element.element = u16(pos + 2, encoding);
    uint32_t length;
    if (element.group == itemGroup) {
        length = u32(pos + 4, encoding);
        element.valueOffset = pos + 8;
    } else if (encoding != Encoding::ImplicitLittle) {
        element.explicitVR = true;
        const DicomVR written = DicomVR::fromBytes(data_ + pos + 4);
        try {
            // The VR written inside a sequence only lays out its bytes: the values there are not read.
            element.vr = depth > 0 ? written : resolve(element.group, element.element, true, written);
            if (depth == 0 && written == DicomVR('U', 'N') && !(element.group & 1)) {
                const DicomVR known = resolve(element.group, element.element, false, DicomVR());
                if (known != DicomVR('U', 'N') && known != DicomVR('S', 'Q')) {
                    element.vr = known;
                    element.decodedUN = true;
                }
            }
        } catch (const DicomException& error) {
            // Name the data and the place of a refused VR.
            std::string what = error.what();
            std::size_t colon = what.find(": ");
            fail(error.code(), colon == std::string::npos ? what : what.substr(colon + 2), pos);
        }
        if (!written.isKnown())
            fail(DicomMalformed, "unknown VR \"" + std::string(isUpper(data_[pos + 4]) && isUpper(data_[pos + 5]) ? written.text() : "??") +
                 "\" in " + tagText(element.group, element.element), pos);
        if (written.hasLongLength()) {
            if (limit - pos < 12)
                fail(DicomTruncated, "truncated element header", pos);
            length = u32(pos + 8, encoding);
            element.valueOffset = pos + 12;
        } else {
            length = u16(pos + 6, encoding);
            element.valueOffset = pos + 8;
        }
    } else {
        length = u32(pos + 4, encoding);
        element.valueOffset = pos + 8;
        element.vr = resolve(element.group, element.element, false, DicomVR());
    }
    element.undefinedLength = length == undefinedLength;
    element.valueLength = element.undefinedLength ? 0 : length;
    element.bigEndian = encoding == Encoding::ExplicitBig && !element.decodedUN;
    if (element.decodedUN && element.undefinedLength) {
        // An undefined length in UN can only be a sequence (read below in implicit VR).
        element.vr = DicomVR('U', 'N');
        element.decodedUN = false;
    }
} VEXA_RETHROW

void DicomParser::readValue(DicomElement& element, uint32_t length, std::size_t limit, Encoding encoding,
                            int depth) const try {
    const DicomVR SQ('S', 'Q'), UN('U', 'N');
    const std::string tag = tagText(element.group, element.element);
    if (element.undefinedLength) {
        std::size_t end;
        if (element.group == 0x7FE0 && element.element == 0x0010 && element.vr != SQ) {
            end = readItems(element.valueOffset, limit, encoding, depth + 1, true, true);
        } else if (element.vr == SQ || !element.explicitVR || element.vr == UN) {
            // An undefined length outside an explicit SQ can only be a sequence; one in an
            // explicit UN is written in implicit VR little endian.
            Encoding inner = element.explicitVR && element.vr == UN ? Encoding::ImplicitLittle : encoding;
            end = readItems(element.valueOffset, limit, inner, depth + 1, true, false);
            element.vr = SQ;
        } else {
            fail(DicomMalformed, "undefined length for VR " + element.vr.text() + " in " + tag, element.offset);
        }
        element.end = end;
        element.valueLength = end - 8 - element.valueOffset;
        return;
    }
    if (length > limit - element.valueOffset)
        fail(DicomTruncated, "value of " + tag + " (" + std::to_string(length) + " bytes) runs past the end of its data",
             element.offset);
    element.valueLength = length;
    element.end = element.valueOffset + length;
    if (element.vr == SQ)
        readItems(element.valueOffset, element.end, encoding, depth + 1, false, false);
    else if (std::size_t unit = element.vr.numberSize(); unit && length % unit && element.decodedUN) {
        element.vr = UN; // not the dictionary's form after all: left as unknown bytes
        element.decodedUN = false;
    } else if (unit && length % unit && depth == 0) // values inside sequences are never read
        fail(DicomMalformed, "length " + std::to_string(length) + " of " + tag + " is no multiple of " + std::to_string(unit),
             element.offset);
} VEXA_RETHROW

std::size_t DicomParser::readItems(std::size_t pos, std::size_t limit, Encoding encoding, int depth, bool undefined,
                                   bool fragments) const try {
    if (depth > maxNesting)
        fail(DicomMalformed, "sequences nested deeper than " + std::to_string(maxNesting) + " levels", pos);
    for (;;) {
        if (!undefined && pos == limit)
            return pos;
        if (limit - pos < 8)
            fail(DicomTruncated, undefined ? "sequence without delimiter" : "truncated item", pos);
        uint16_t group = u16(pos, encoding), element = u16(pos + 2, encoding);
        uint32_t length = u32(pos + 4, encoding);
        if (group == itemGroup && element == sequenceDelimiter) {
            if (!undefined)
                fail(DicomMalformed, "sequence delimiter inside a sequence of defined length", pos);
            return pos + 8;
        }
        if (group != itemGroup || element != itemElement)
            fail(DicomMalformed, "expected an item, found " + tagText(group, element), pos);
        pos += 8;
        if (length == undefinedLength) {
            if (fragments)
                fail(DicomMalformed, "pixel data fragment of undefined length", pos - 8);
            pos = readDataSet(pos, limit, encoding, depth, true);
        } else {
            if (length > limit - pos)
                fail(DicomTruncated, "item (" + std::to_string(length) + " bytes) runs past the end of its data", pos - 8);
            if (!fragments)
                readDataSet(pos, pos + length, encoding, depth, false);
            pos += length;
        }
    }
} VEXA_RETHROW

std::size_t DicomParser::readDataSet(std::size_t pos, std::size_t limit, Encoding encoding, int depth,
                                     bool untilDelimiter) const try {
    for (;;) {
        if (!untilDelimiter && pos == limit)
            return pos;
        if (limit - pos < 8)
            fail(DicomTruncated, untilDelimiter ? "item without delimiter" : "truncated element header", pos);
        if (u16(pos, encoding) == itemGroup && u16(pos + 2, encoding) == itemDelimiter) {
            if (!untilDelimiter)
                fail(DicomMalformed, "item delimiter inside an item of defined length", pos);
            return pos + 8;
        }
        DicomElement element;
        readHeader(pos, limit, encoding, element, depth);
        if (element.group == itemGroup)
            fail(DicomMalformed, "unexpected " + tagText(element.group, element.element) + " inside an item", pos);
        readValue(element, element.undefinedLength ? undefinedLength : uint32_t(element.valueLength), limit, encoding,
                  depth);
        pos = element.end;
    }
} VEXA_RETHROW

bool DicomParser::next(DicomElement& element) try {
    if (!opened_)
        open();
    if (pos_ >= size_ || reachedPixelData_)
        return false;
    if (size_ - pos_ < 8)
        fail(DicomTruncated, "truncated element header", pos_);
    if (stopAtPixelData_ && u16(pos_, encoding_) == 0x7FE0 && u16(pos_ + 2, encoding_) == 0x0010) {
        reachedPixelData_ = true;
        return false;
    }
    readHeader(pos_, size_, encoding_, element, 0);
    if (element.group == itemGroup)
        fail(DicomMalformed, "unexpected " + tagText(element.group, element.element) + " outside a sequence", pos_);
    readValue(element, element.undefinedLength ? undefinedLength : uint32_t(element.valueLength), size_, encoding_, 0);
    pos_ = element.end;
    return true;
} VEXA_RETHROW

DicomElement DicomParser::pixelDataHeader(std::size_t totalSize) const try {
    if (!reachedPixelData_)
        fail(DicomMalformed, "no pixel data header to read", pos_);
    // Told in the user's words: this is what a copy or a transfer broken off leaves.
    DicomElement element;
    try {
        readHeader(pos_, size_, encoding_, element, 0);
    } catch (const DicomException& error) {
        if (error.code() != DicomTruncated || size_ < totalSize)
            throw;
        throw DicomException(DicomTruncated, source_ + ": it holds " + std::to_string(totalSize) +
                                                 " bytes and ends before its image");
    }
    if (!element.undefinedLength) {
        if (totalSize < element.valueOffset || element.valueLength > totalSize - element.valueOffset)
            throw DicomException(DicomTruncated, source_ + ": it holds " + std::to_string(totalSize) + " of the " +
                                                     std::to_string(element.valueOffset + element.valueLength) +
                                                     " bytes its image needs");
        element.end = element.valueOffset + element.valueLength;
    }
    return element;
} VEXA_RETHROW

std::string DicomParser::text(const DicomElement& element) const try {
    const char* begin = reinterpret_cast<const char*>(data_ + element.valueOffset);
    const char* end = begin + element.valueLength;
    const DicomVR vr = element.vr;
    if (vr.isText()) {
        if (vr == DicomVR('D', 'S') || vr == DicomVR('I', 'S')) {
            std::string out;
            for (const char* p = begin;;) {
                const char* stop = static_cast<const char*>(std::memchr(p, '\\', end - p));
                out += trimmed(p, stop ? stop : end, true);
                if (!stop)
                    break;
                out += '\\';
                p = stop + 1;
            }
            return trimmed(out.data(), out.data() + out.size(), true);
        }
        return trimmed(begin, end, false);
    }
    const std::size_t unit = vr.numberSize();
    if (!unit || element.undefinedLength)
        return {};
    const bool big = element.bigEndian;
    const Encoding order = big ? Encoding::ExplicitBig : Encoding::ExplicitLittle;
    std::string out;
    for (std::size_t offset = element.valueOffset; offset + unit <= element.valueOffset + element.valueLength;
         offset += unit) {
        if (!out.empty())
            out += '\\';
        uint8_t bytes[8];
        if (vr == DicomVR('A', 'T')) {
            uint16_t group = u16(offset, order), number = u16(offset + 2, order);
            out += tagText(group, number);
            continue;
        }
        for (std::size_t i = 0; i < unit; ++i)
            bytes[i] = data_[offset + (big ? unit - 1 - i : i)];
        // Bytes are now little endian; reassemble independently of the host's byte order.
        uint64_t raw = 0;
        for (std::size_t i = 0; i < unit; ++i)
            raw |= uint64_t(bytes[i]) << (8 * i);
        if (vr == DicomVR('U', 'S'))
            appendNumber(out, uint16_t(raw));
        else if (vr == DicomVR('S', 'S'))
            appendNumber(out, int16_t(uint16_t(raw)));
        else if (vr == DicomVR('U', 'L'))
            appendNumber(out, uint32_t(raw));
        else if (vr == DicomVR('S', 'L'))
            appendNumber(out, int32_t(uint32_t(raw)));
        else if (vr == DicomVR('U', 'V'))
            appendNumber(out, raw);
        else if (vr == DicomVR('S', 'V'))
            appendNumber(out, int64_t(raw));
        else if (vr == DicomVR('F', 'L')) {
            uint32_t word = uint32_t(raw);
            float value;
            std::memcpy(&value, &word, 4);
            appendNumber(out, value);
        } else {
            double value;
            std::memcpy(&value, &raw, 8);
            appendNumber(out, value);
        }
    }
    return out;
} VEXA_RETHROW

}
