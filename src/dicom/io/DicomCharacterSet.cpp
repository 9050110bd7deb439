#include "dicom/io/DicomCharacterSet.h"

#include <iconv.h>
#include <memory>
#include <map>
#include <mutex>

namespace Vexa {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\0'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The single-byte sets by their defined term (with or without code extensions), as the platform's
// converter names them. JIS X 0201's katakana are Shift JIS's single bytes; its other bytes are lead
// bytes, which one byte alone does not convert (Latin-1 then).
const char* platformName(std::string_view term)
{
    static const std::pair<const char*, const char*> names[] = {
        {"101", "ISO-8859-2"}, {"109", "ISO-8859-3"}, {"110", "ISO-8859-4"}, {"144", "ISO-8859-5"},
        {"127", "ISO-8859-6"}, {"126", "ISO-8859-7"}, {"138", "ISO-8859-8"}, {"148", "ISO-8859-9"},
        {"203", "ISO-8859-15"}, {"166", "TIS-620"},   {"13", "SHIFT_JIS"},
    };
    std::string_view number;
    if (term.substr(0, 7) == "ISO_IR ")
        number = term.substr(7);
    else if (term.substr(0, 12) == "ISO 2022 IR ")
        number = term.substr(12);
    for (const auto& [code, name] : names)
        if (number == code)
            return name;
    return nullptr;
}

// The characters of the bytes 0x80..0xFF in the named set, one byte at a time; Latin-1 for bytes
// the set leaves undefined. Null when the platform has no converter for it.
std::unique_ptr<std::array<char32_t, 128>> convertedTable(const char* name)
{
    iconv_t converter = ::iconv_open("UTF-32LE", name);
    if (converter == iconv_t(-1))
        return nullptr;
    auto table = std::make_unique<std::array<char32_t, 128>>();
    for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
        char in = char(byte);
        unsigned char out[8];
        char* inPointer = &in;
        char* outPointer = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1, outLeft = sizeof out;
        ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
        const std::size_t done = ::iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
        char32_t c = byte;
        if (done != std::size_t(-1) && inLeft == 0 && outLeft == sizeof out - 4)
            c = char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 | char32_t(out[3]) << 24;
        (*table)[byte - 0x80] = c;
    }
    ::iconv_close(converter);
    return table;
}

// One table per set for the program's life, made when a file first names the set.
const std::array<char32_t, 128>* tableFor(const char* name)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<std::array<char32_t, 128>>> tables;
    std::lock_guard lock(mutex);
    auto found = tables.find(name);
    if (found == tables.end())
        found = tables.emplace(name, convertedTable(name)).first;
    return found->second.get();
}

}

DicomCharacterSet::DicomCharacterSet() = default;

DicomCharacterSet::DicomCharacterSet(std::string_view specificCharacterSet)
{
    // The first value names the set of the text before any escape sequence; an empty first value
    // is the default repertoire, with the set of the extensions (the second value) for the rest.
    std::string_view rest = specificCharacterSet;
    while (!rest.empty()) {
        const std::size_t stop = rest.find('\\');
        const std::string_view term = trimmed(rest.substr(0, stop));
        rest = stop == std::string_view::npos ? std::string_view() : rest.substr(stop + 1);
        if (term.empty())
            continue;
        if (term == "ISO_IR 192") {
            utf8_ = true;
        } else if (const char* name = platformName(term)) {
            table_ = tableFor(name);
        }
        // ISO_IR 6 and ISO_IR 100 are Latin-1's lower and full halves; unknown sets fall back to it.
        break;
    }
}

bool DicomCharacterSet::appliesTo(const DicomVR& vr)
{
    return vr == DicomVR('P', 'N') || vr == DicomVR('L', 'O') || vr == DicomVR('S', 'H') || vr == DicomVR('S', 'T') ||
           vr == DicomVR('L', 'T') || vr == DicomVR('U', 'T') || vr == DicomVR('U', 'C');
}

std::string DicomCharacterSet::toUtf8(std::string_view bytes) const
{
    bool ascii = true;
    for (char c : bytes)
        ascii = ascii && (unsigned char)c < 0x80;
    if (ascii)
        return std::string(bytes);
    if (utf8_)
        return utf8OrLatin1(bytes);
    if (!table_)
        return latin1ToUtf8(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = (unsigned char)c;
        appendUtf8(out, byte < 0x80 ? char32_t(byte) : (*table_)[byte - 0x80]);
    }
    return out;
}

bool DicomCharacterSet::isUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = (unsigned char)bytes[i];
        std::size_t length;
        char32_t c;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = (unsigned char)bytes[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            c = c << 6 | (next & 0x3F);
        }
        if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

std::string DicomCharacterSet::latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes)
        appendUtf8(out, char32_t((unsigned char)c));
    return out;
}

std::string DicomCharacterSet::utf8OrLatin1(std::string_view bytes)
{
    return isUtf8(bytes) ? std::string(bytes) : latin1ToUtf8(bytes);
}

}
