// The byte-level reader: length checks, sequences, VR rules and value texts.
#include "DicomBytes.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomDictionary.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomParser.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace Vexa;

namespace {

using DicomTestSupport::Bytes;

std::map<uint32_t, std::string> readAll(const std::vector<uint8_t>& data)
{
    UniversalImporter importer;
    DicomParser parser(data.data(), data.size(), "test", importer.vrResolver());
    std::map<uint32_t, std::string> values;
    if (!importer.jumpToHeader(parser))
        throw DicomException(DicomException::NoImporter, "not DICOM");
    for (const DicomElement& meta : parser.metaElements())
        values[meta.tagWord()] = parser.text(meta);
    DicomElement element;
    std::string text;
    while (importer.readDicomTag(parser, element, text))
        values[element.tagWord()] = text;
    return values;
}

int errorOf(const std::vector<uint8_t>& data)
{
    try {
        readAll(data);
    } catch (const DicomException& error) {
        return error.code();
    }
    return 0;
}

const std::string explicitLE = "1.2.840.10008.1.2.1";

}

TEST(DicomParser, ValueTextsFollowTheirVR)
{
    for (bool big : {false, true}) {
        Bytes b = Bytes::file(big ? "1.2.840.10008.1.2.2" : explicitLE);
        b.big = big;
        b.element(0x0008, 0x0018, "UI", std::string("1.2.3\0", 6))
            .element(0x0010, 0x0010, "PN", "Doe^John  ")
            .element(0x0020, 0x0032, "DS", " -1.5\\ 2 \\3.25 ")
            .element(0x0020, 0x0013, "IS", " 12 ");
        Bytes numbers;
        numbers.big = big;
        numbers.u16(512).u16(65535);
        b.element(0x0028, 0x0010, "US", std::string(numbers.data.begin(), numbers.data.end()));
        Bytes fd;
        fd.big = big;
        double value = -0.1;
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        fd.u32(uint32_t(bits >> 32)).u32(uint32_t(bits));
        if (!big) // little endian puts the low word first
            fd.data = {fd.data[4], fd.data[5], fd.data[6], fd.data[7], fd.data[0], fd.data[1], fd.data[2], fd.data[3]};
        b.element(0x0018, 0x9087, "FD", std::string(fd.data.begin(), fd.data.end()));
        Bytes at;
        at.big = big;
        at.u16(0x0028).u16(0x0010);
        b.element(0x0028, 0x0009, "AT", std::string(at.data.begin(), at.data.end()));
        b.element(0x0009, 0x0010, "OB", std::string(4, '\x07'));
        auto values = readAll(b.data);
        EXPECT_EQ(values[0x00180008], "1.2.3");
        EXPECT_EQ(values[0x00100010], "Doe^John");
        EXPECT_EQ(values[0x00320020], "-1.5\\2\\3.25");
        EXPECT_EQ(values[0x00130020], "12");
        EXPECT_EQ(values[0x00100028], "512\\65535") << big;
        EXPECT_EQ(values[0x90870018], "-0.1") << big;
        EXPECT_EQ(values[0x00090028], "(0028,0010)") << big;
        EXPECT_EQ(values.count(0x00100009), 1u);
        EXPECT_EQ(values[0x00100009], "");
        EXPECT_EQ(values[0x00100002], "1.2.840.10008.1.2" + std::string(big ? ".2" : ".1"));
    }
}

TEST(DicomParser, SequencesOfEveryLengthKindAreWalked)
{
    Bytes b = Bytes::file(explicitLE);
    // Undefined-length sequence with an undefined-length item inside a defined-length item.
    Bytes inner;
    inner.tag(0x0008, 0x1115).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12").itemEnd()
        .sequenceEnd();
    b.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item(uint32_t(inner.data.size()));
    b.data.insert(b.data.end(), inner.data.begin(), inner.data.end());
    b.sequenceEnd();
    // A private UN of undefined length holds implicit little endian items.
    b.tag(0x0009, 0x1010).raw("UN").u16(0).u32(0xFFFFFFFF).item(12).implicitElement(0x0010, 0x0010, "A^B ").sequenceEnd();
    b.element(0x0010, 0x0020, "LO", "ID7 ");
    auto values = readAll(b.data);
    EXPECT_EQ(values.count(0x11400008), 1u);
    EXPECT_EQ(values.count(0x10100009), 1u);
    EXPECT_EQ(values[0x00200010], "ID7");
    // Elements inside sequences are not part of the header texts.
    EXPECT_EQ(values.count(0x11500008), 0u);
}

TEST(DicomParser, BrokenStructuresFailWithoutReadingPastTheData)
{
    // A length beyond the end, including one close to 4 GiB.
    for (uint32_t length : {100u, 0xFFFFFFF0u}) {
        Bytes b = Bytes::file(explicitLE);
        b.tag(0x0009, 0x1010).raw("UT").u16(0).u32(length).raw("abcd");
        EXPECT_EQ(errorOf(b.data), DicomTruncated) << length;
    }
    // An item longer than its sequence.
    Bytes item = Bytes::file(explicitLE);
    item.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(8).item(16).raw("12345678");
    EXPECT_EQ(errorOf(item.data), DicomTruncated);
    // A sequence without its delimiter.
    Bytes open = Bytes::file(explicitLE);
    open.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12");
    EXPECT_EQ(errorOf(open.data), DicomTruncated);
    // An undefined length where the VR forbids it.
    Bytes text = Bytes::file(explicitLE);
    text.tag(0x0009, 0x0010).raw("LO").u16(0xFFFF);
    text.data.back() = 0xFF;
    Bytes ul = Bytes::file(explicitLE);
    ul.tag(0x0009, 0x1000).raw("OB").u16(0).u32(0xFFFFFFFF).raw("xxxxxxxx");
    EXPECT_EQ(errorOf(ul.data), DicomMalformed);
    // Binary numbers whose length is no multiple of their size.
    Bytes odd = Bytes::file(explicitLE);
    odd.element(0x0009, 0x1001, "UL", "abc ").element(0x0009, 0x1002, "US", "abc");
    EXPECT_EQ(errorOf(odd.data), DicomMalformed);
    // Something other than an item inside a sequence; a delimiter at the top level.
    Bytes stray = Bytes::file(explicitLE);
    stray.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(8).tag(0x0010, 0x0010).u32(0);
    EXPECT_EQ(errorOf(stray.data), DicomMalformed);
    Bytes top = Bytes::file(explicitLE);
    top.sequenceEnd();
    EXPECT_EQ(errorOf(top.data), DicomMalformed);
    // VR bytes that are no VR at all, in an odd group.
    Bytes junk = Bytes::file(explicitLE);
    junk.element(0x0008, 0x0060, "CS", "CT").tag(0x0009, 0x1000).raw("\x01\x02").u16(0);
    EXPECT_EQ(errorOf(junk.data), DicomMalformed);
    // Sequences nested deeper than the limit: refused, not a stack overflow.
    Bytes deep = Bytes::file(explicitLE);
    for (int i = 0; i < 10000; ++i)
        deep.tag(0x0009, 0x1000).raw("SQ").u16(0).u32(0xFFFFFFFF).item();
    EXPECT_EQ(errorOf(deep.data), DicomMalformed);
    // An explicit syntax over a data set without VRs is read as implicit.
    Bytes mislabelled = Bytes::file(explicitLE);
    mislabelled.implicitElement(0x0010, 0x0010, "A^B ").implicitElement(0x0028, 0x0010, std::string("\x10\x00", 2));
    if (DicomDictionary::getInstance().isKnownTag(0x00100028))
        EXPECT_EQ(readAll(mislabelled.data)[0x00100028], "16");
    // Every prefix of a valid file is read or refused cleanly.
    Bytes whole = Bytes::file(explicitLE);
    whole.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12").itemEnd()
        .sequenceEnd().element(0x0010, 0x0010, "PN", "A^B ");
    for (std::size_t size = 0; size < whole.data.size(); ++size) {
        std::vector<uint8_t> prefix(whole.data.begin(), whole.data.begin() + std::ptrdiff_t(size));
        int code = errorOf(prefix);
        EXPECT_TRUE(code == 0 || code == DicomTruncated || code == DicomException::NoImporter) << size << " " << code;
    }
    EXPECT_EQ(errorOf(whole.data), 0);
}

TEST(DicomParser, VRChecksFollowTheDictionary)
{
    EDicomTagValueRepresentation vr;
    const char* codes[] = {"CS", "DA", "DS", "IS", "LO", "LT", "OB", "PN", "SH", "SQ", "ST", "TM", "UI",
                           "UL", "US", "AE", "AS", "SS", "AT", "SL", "FD", "FL", "OW", "DT", "UT", "UN"};
    for (int i = 0; i < 26; ++i) {
        EXPECT_TRUE(UniversalImporter::str2VR(codes[i], vr));
        EXPECT_EQ(int(vr), i);
    }
    for (const char* text : {"UC", "OF", "XX", "", "C", "CSS"}) {
        vr = EDicomTagValueRepresentation::UT;
        EXPECT_FALSE(UniversalImporter::str2VR(text, vr)) << text;
        EXPECT_EQ(int(vr), 0);
    }
    const DicomDictionary& dictionary = DicomDictionary::getInstance();
    if (!dictionary.isKnownTag(0x00100010))
        GTEST_SKIP() << "dictionary without contents";
    UniversalImporter importer;
    EXPECT_TRUE(importer.checkVR(0x00100010, "PN"));
    EXPECT_TRUE(importer.checkVR(0x00100010, "UN"));
    EXPECT_FALSE(importer.checkVR(0x00100010, "US"));
    EXPECT_FALSE(importer.checkVR(0x00100010, "UC"));
    try {
        importer.checkVR(0x00100009, "LO");
        ADD_FAILURE() << "unknown tag passed";
    } catch (const DicomException& error) {
        EXPECT_EQ(error.code(), DicomException::UnknownTag);
    }
    // In a file: a wrong VR on a known even tag is refused; odd groups and tags newer than the
    // dictionary keep the VR as written.
    Bytes wrong = Bytes::file(explicitLE);
    wrong.element(0x0010, 0x0010, "US", "ab");
    EXPECT_EQ(errorOf(wrong.data), DicomException::VRMismatch);
    Bytes fine = Bytes::file(explicitLE);
    fine.element(0x0009, 0x0010, "US", "ab").element(0x0018, 0x9999, "UC", "long text ");
    auto values = readAll(fine.data);
    EXPECT_EQ(values[0x00100009], "25185");
    EXPECT_EQ(values[0x99990018], "long text");
    // Without a VR the dictionary's first VR decides the text: Rows is US.
    Bytes implicitFile = Bytes::file("1.2.840.10008.1.2");
    implicitFile.implicitElement(0x0028, 0x0010, std::string("\x00\x02", 2)).implicitElement(0x0010, 0x0010, "A^B ");
    implicitFile.implicitElement(0x0020, 0x000E, std::string("1.2.840.99\0", 12));
    values = readAll(implicitFile.data);
    EXPECT_EQ(values[0x00100028], "512");
    EXPECT_EQ(values[0x00100010], "A^B");
    // The series' identity survives a file without VRs.
    EXPECT_EQ(values[0x000E0020], "1.2.840.99");
    // Without preamble a file must begin with a known tag.
    Bytes bare;
    bare.element(0x0008, 0x0060, "CS", "CT").element(0x0010, 0x0020, "LO", "X1");
    EXPECT_EQ(readAll(bare.data)[0x00600008], "CT");
    Bytes unknown;
    unknown.element(0x0009, 0x0060, "CS", "CT");
    EXPECT_EQ(errorOf(unknown.data), DicomException::NoImporter);
    EXPECT_EQ(errorOf({0x08, 0x00}), DicomException::NoImporter);
}
