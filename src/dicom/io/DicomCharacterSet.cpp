#include "dicom/io/DicomCharacterSet.h"

#include <iconv.h>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace Vexa {

// A set that escape sequences designate into G0 (bytes 0x21..0x7E) or G1 (bytes 0xA0..0xFF): one
// character a byte, or one a pair of bytes (94 x 94 places). Undefined places hold U+FFFD.
struct DicomCharacterSet::CodeElement
{
    bool pairs = false;
    std::vector<char32_t> characters; // single: the bytes 0x80..0xFF; pairs: rows and cells 0x21..0x7E

    char32_t single(unsigned byte) const { return characters[(byte & 0xFF) - 0x80]; }
    char32_t pair(unsigned first, unsigned second) const
    {
        return characters[((first & 0x7F) - 0x21) * 94 + ((second & 0x7F) - 0x21)];
    }
};

namespace {

using CodeElement = DicomCharacterSet::CodeElement;
constexpr char32_t replacement = 0xFFFD;
constexpr char escape = '\x1B';

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

// A character as it may be shown: controls other than tab and line and page breaks (an escape, a
// C1 control of a set's undefined bytes) become U+FFFD.
void appendShown(std::string& out, char32_t c)
{
    const bool control = (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || (c >= 0x7F && c < 0xA0);
    appendUtf8(out, control ? replacement : c);
}

// The one character that the bytes are in the named set, or U+FFFD.
char32_t converted(iconv_t converter, std::string_view bytes)
{
    std::string in(bytes);
    unsigned char out[8];
    char* inPointer = in.data();
    char* outPointer = reinterpret_cast<char*>(out);
    std::size_t inLeft = in.size(), outLeft = sizeof out;
    ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
    const std::size_t done = ::iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    if (done == std::size_t(-1) || inLeft != 0 || outLeft != sizeof out - 4)
        return replacement;
    return char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 | char32_t(out[3]) << 24;
}

// One character of GB18030 (one, two or four bytes) as the platform's converter reads it, or U+FFFD.
// Its places are too many for a table: each character is asked for as it comes.
char32_t gb18030Character(std::string_view bytes)
{
    static std::mutex mutex;
    static const iconv_t converter = ::iconv_open("UTF-32LE", "GB18030");
    if (converter == iconv_t(-1))
        return replacement;
    std::lock_guard lock(mutex);
    return converted(converter, bytes);
}

// The sets by the names the program gives them. The platform's converter is asked for each place
// once, when a file first uses the set; single-byte sets by their byte, multi-byte sets by their
// EUC form (both bytes with the high bit, JIS X 0212 after 0x8F).
struct Recipe
{
    const char* converter; // null: made without one
    const char* prefix;    // null: one byte a character
};

std::unique_ptr<CodeElement> made(std::string_view name)
{
    static const std::map<std::string_view, Recipe> recipes = {
        {"Latin-1", {nullptr, nullptr}},         {"JIS X 0201", {nullptr, nullptr}},
        {"ISO-8859-2", {"ISO-8859-2", nullptr}}, {"ISO-8859-3", {"ISO-8859-3", nullptr}},
        {"ISO-8859-4", {"ISO-8859-4", nullptr}}, {"ISO-8859-5", {"ISO-8859-5", nullptr}},
        {"ISO-8859-6", {"ISO-8859-6", nullptr}}, {"ISO-8859-7", {"ISO-8859-7", nullptr}},
        {"ISO-8859-8", {"ISO-8859-8", nullptr}}, {"ISO-8859-9", {"ISO-8859-9", nullptr}},
        {"ISO-8859-15", {"ISO-8859-15", nullptr}}, {"TIS-620", {"TIS-620", nullptr}},
        {"JIS X 0208", {"EUC-JP", ""}},          {"JIS X 0212", {"EUC-JP", "\x8F"}},
        {"KS X 1001", {"EUC-KR", ""}},           {"GB 2312", {"GB2312", ""}},
    };
    const auto recipe = recipes.find(name);
    if (recipe == recipes.end())
        return nullptr;
    auto element = std::make_unique<CodeElement>();
    if (!recipe->second.converter) {
        // Latin-1 is the bytes themselves; JIS X 0201's katakana are Unicode's half-width ones.
        element->characters.assign(128, replacement);
        for (unsigned byte = 0xA0; byte <= 0xFF; ++byte)
            if (name == "Latin-1")
                element->characters[byte - 0x80] = byte;
            else if (byte >= 0xA1 && byte <= 0xDF)
                element->characters[byte - 0x80] = 0xFF61 + (byte - 0xA1);
        return element;
    }
    iconv_t converter = ::iconv_open("UTF-32LE", recipe->second.converter);
    if (converter == iconv_t(-1))
        return nullptr;
    if (!recipe->second.prefix) {
        // 0x80..0x9F are C1 controls in every set: never a character of a name.
        element->characters.assign(128, replacement);
        for (unsigned byte = 0xA0; byte <= 0xFF; ++byte)
            element->characters[byte - 0x80] = converted(converter, std::string(1, char(byte)));
    } else {
        element->pairs = true;
        element->characters.reserve(94 * 94);
        for (unsigned first = 0xA1; first <= 0xFE; ++first)
            for (unsigned second = 0xA1; second <= 0xFE; ++second)
                element->characters.push_back(
                    converted(converter, recipe->second.prefix + std::string{char(first), char(second)}));
    }
    ::iconv_close(converter);
    return element;
}

// One element per set for the program's life; null when the platform cannot convert the set.
const CodeElement* element(std::string_view name)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<CodeElement>, std::less<>> elements;
    std::lock_guard lock(mutex);
    auto found = elements.find(name);
    if (found == elements.end())
        found = elements.emplace(std::string(name), made(name)).first;
    return found->second.get();
}

// A set that cannot be read: every character of it shows as U+FFFD.
const CodeElement* unknownElement()
{
    static const CodeElement unknown{false, std::vector<char32_t>(128, replacement)};
    return &unknown;
}

// A defined term of (0008,0005), with or without code extensions, as the set it names and the code
// element that set goes to (the G0 multi-byte sets of Japanese apart, every set is one of G1).
struct Term
{
    const char* number;
    const char* set;
    bool g0;
};
constexpr Term terms[] = {
    {"100", "Latin-1", false},     {"101", "ISO-8859-2", false},  {"109", "ISO-8859-3", false},
    {"110", "ISO-8859-4", false},  {"144", "ISO-8859-5", false},  {"127", "ISO-8859-6", false},
    {"126", "ISO-8859-7", false},  {"138", "ISO-8859-8", false},  {"148", "ISO-8859-9", false},
    {"203", "ISO-8859-15", false}, {"166", "TIS-620", false},     {"13", "JIS X 0201", false},
    {"87", "JIS X 0208", true},    {"159", "JIS X 0212", true},   {"149", "KS X 1001", false},
    {"58", "GB 2312", false},
};

const Term* termOf(std::string_view term)
{
    std::string_view number;
    if (term.substr(0, 7) == "ISO_IR ")
        number = term.substr(7);
    else if (term.substr(0, 12) == "ISO 2022 IR ")
        number = term.substr(12);
    for (const Term& known : terms)
        if (number == known.number)
            return &known;
    return nullptr;
}

// The set an escape sequence (the bytes after ESC) designates, and whether into G0; a set with
// an empty name is ASCII (or JIS X 0201's romaji, which differ from it only in the yen sign and
// the overline). False for a sequence that designates nothing.
bool designation(std::string_view sequence, std::string_view& set, bool& g0)
{
    static const std::map<std::string_view, std::string_view> g0Sets = {
        {"(B", ""}, {"(J", ""}, {"$B", "JIS X 0208"}, {"$(B", "JIS X 0208"}, {"$(D", "JIS X 0212"},
    };
    static const std::map<std::string_view, std::string_view> g1Sets = {
        {"-A", "Latin-1"},     {"-B", "ISO-8859-2"}, {"-C", "ISO-8859-3"}, {"-D", "ISO-8859-4"},
        {"-L", "ISO-8859-5"},  {"-G", "ISO-8859-6"}, {"-F", "ISO-8859-7"}, {"-H", "ISO-8859-8"},
        {"-M", "ISO-8859-9"},  {"-b", "ISO-8859-15"}, {"-T", "TIS-620"},  {")I", "JIS X 0201"},
        {"$)C", "KS X 1001"},  {"$)A", "GB 2312"},
    };
    if (auto found = g0Sets.find(sequence); found != g0Sets.end()) {
        set = found->second;
        g0 = true;
        return true;
    }
    if (auto found = g1Sets.find(sequence); found != g1Sets.end()) {
        set = found->second;
        g0 = false;
        return true;
    }
    // A set nobody here knows: its characters are lost, not shown as another set's. G2 and G3,
    // which DICOM does not use, are designated by nothing that is read.
    set = "?";
    const bool multiByte = sequence[0] == '$' && sequence.size() > 1;
    g0 = sequence[0] == '(' || (multiByte && (sequence.size() == 2 || sequence[1] == '('));
    return g0 || sequence[0] == ')' || sequence[0] == '-' || (multiByte && (sequence[1] == ')' || sequence[1] == '-'));
}

}

DicomCharacterSet::DicomCharacterSet()
{
    static const CodeElement* const latin1 = element("Latin-1");
    g1_ = latin1;
}

DicomCharacterSet::DicomCharacterSet(std::string_view specificCharacterSet) : DicomCharacterSet()
{
    // Value 1 gives the set of bytes above 0x7F before any escape sequence. When it gives none (it
    // is empty or the default repertoire), such bytes are read in the first set of the others:
    // writers that name the extension and then leave out its escape sequences are not rare.
    std::string_view rest = specificCharacterSet;
    const CodeElement* first = nullptr;
    for (bool valueOne = true; !rest.empty(); valueOne = false) {
        const std::size_t stop = rest.find('\\');
        const std::string_view value = trimmed(rest.substr(0, stop));
        rest = stop == std::string_view::npos ? std::string_view() : rest.substr(stop + 1);
        given_ = given_ || !value.empty();
        if (valueOne && value == "ISO_IR 192") {
            utf8_ = true;
            continue;
        }
        // Sets without code extensions: other values have nothing to add. GBK is the one- and
        // two-byte part of GB18030, in the same bytes: both are read as GB18030, so a character
        // beyond GBK that a writer still puts in is not lost.
        if (valueOne && (value == "GB18030" || value == "GBK")) {
            gb18030_ = true;
            return;
        }
        const Term* term = termOf(value);
        if (!term || term->g0 || first)
            continue;
        first = element(term->set);
        if (!first)
            first = unknownElement(); // a set the platform cannot convert
        if (valueOne)
            break;
    }
    if (first)
        g1_ = first;
}

bool DicomCharacterSet::appliesTo(const DicomVR& vr)
{
    return vr == DicomVR('P', 'N') || vr == DicomVR('L', 'O') || vr == DicomVR('S', 'H') || vr == DicomVR('S', 'T') ||
           vr == DicomVR('L', 'T') || vr == DicomVR('U', 'T') || vr == DicomVR('U', 'C');
}

std::string DicomCharacterSet::toUtf8(std::string_view bytes, bool personName) const
{
    bool plain = true;
    for (char c : bytes)
        plain = plain && ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f');
    if (plain)
        return std::string(bytes);
    if ((utf8_ || !given_) && bytes.find(escape) == std::string_view::npos && isUtf8(bytes)) {
        std::string out;
        out.reserve(bytes.size());
        for (std::size_t i = 0; i < bytes.size();) {
            const auto lead = (unsigned char)bytes[i];
            const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            char32_t c = length == 1 ? lead : lead & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k)
                c = c << 6 | ((unsigned char)bytes[i + k] & 0x3F);
            appendShown(out, c);
            i += length;
        }
        return out;
    }
    if (gb18030_)
        return gb18030ToUtf8(bytes);
    return iso2022ToUtf8(bytes, personName);
}

std::string DicomCharacterSet::gb18030ToUtf8(std::string_view bytes)
{
    // The value is read whole: the second byte of a pair may be a backslash or a '^', which are no
    // delimiters there.
    std::string out;
    out.reserve(bytes.size() * 2);
    const auto inRange = [&](std::size_t i, unsigned low, unsigned high) {
        return i < bytes.size() && (unsigned char)bytes[i] >= low && (unsigned char)bytes[i] <= high;
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = (unsigned char)bytes[i];
        if (byte < 0x80) {
            appendShown(out, byte);
            ++i;
            continue;
        }
        // 0x80, 0xFF and a first byte without the rest of its character are one U+FFFD each;
        // what follows is read anew.
        std::size_t length = 1;
        if (byte >= 0x81 && byte <= 0xFE) {
            if (inRange(i + 1, 0x30, 0x39) && inRange(i + 2, 0x81, 0xFE) && inRange(i + 3, 0x30, 0x39))
                length = 4;
            else if (inRange(i + 1, 0x40, 0x7E) || inRange(i + 1, 0x80, 0xFE))
                length = 2;
        }
        appendShown(out, length == 1 ? replacement : gb18030Character(bytes.substr(i, length)));
        i += length;
    }
    return out;
}

std::string DicomCharacterSet::iso2022ToUtf8(std::string_view bytes, bool personName) const
{
    std::string out;
    out.reserve(bytes.size() * 2);
    const CodeElement* g0 = nullptr; // null: ASCII
    const CodeElement* g1 = g1_;
    const auto isByte = [&](std::size_t i, unsigned low, unsigned high) {
        return i < bytes.size() && (unsigned char)bytes[i] >= low && (unsigned char)bytes[i] <= high;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = (unsigned char)bytes[i];
        if (byte == (unsigned char)escape) {
            // ESC, intermediate bytes 0x20..0x2F, a final byte 0x30..0x7E.
            std::size_t end = i + 1;
            while (isByte(end, 0x20, 0x2F))
                ++end;
            std::string_view set;
            bool intoG0 = false;
            const bool final = isByte(end, 0x30, 0x7E);
            if (end > i + 1 && final && designation(bytes.substr(i + 1, end - i), set, intoG0)) {
                const CodeElement* designated = set.empty() ? nullptr : element(set);
                (intoG0 ? g0 : g1) = set.empty() || designated ? designated : unknownElement();
            } else {
                appendShown(out, replacement);
            }
            i = final ? end : end - 1;
        } else if (byte >= 0x80) {
            if (!g1->pairs)
                appendShown(out, g1->single(byte));
            else if (byte >= 0xA1 && byte <= 0xFE && isByte(i + 1, 0xA1, 0xFE))
                appendShown(out, g1->pair(byte, (unsigned char)bytes[++i]));
            else
                appendShown(out, replacement);
        } else if (g0 && byte > 0x20 && byte < 0x7F) {
            // A graphic byte of a G0 set other than ASCII: a byte pair of a multi-byte set.
            if (g0->pairs && isByte(i + 1, 0x21, 0x7E))
                appendShown(out, g0->pair(byte, (unsigned char)bytes[++i]));
            else
                appendShown(out, replacement);
        } else {
            // Delimiters are written in the initial sets, and what follows them starts there.
            if (byte == '\\' || byte == '\r' || byte == '\n' || byte == '\f' || byte == '\t' ||
                (personName && (byte == '^' || byte == '='))) {
                g0 = nullptr;
                g1 = g1_;
            }
            appendShown(out, byte);
        }
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
