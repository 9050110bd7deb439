// The byte-level reader: length checks, sequences, VR rules and value texts.
#include "DicomBytes.h"
#include "DicomTestSupport.h"

#include "dicom/dictionary/DicomDictionary.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomParser.h"

#include <cstring>
#include <deque>
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

int readError(const std::vector<uint8_t>& data)
{
    return DicomTestSupport::errorOf([&] { readAll(data); });
}

const std::string explicitLE = "1.2.840.10008.1.2.1";

}

TEST(DicomParser, ValueTextsFollowTheirVR)
{
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big endian" : "little endian");
        Bytes b = Bytes::file(big ? "1.2.840.10008.1.2.2" : explicitLE);
        b.big = big;
        Bytes numbers{{}, big}, fd{{}, big}, at{{}, big};
        numbers.u16(512).u16(65535);
        const double value = -0.1;
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        if (big)
            fd.u32(uint32_t(bits >> 32)).u32(uint32_t(bits));
        else
            fd.u32(uint32_t(bits)).u32(uint32_t(bits >> 32));
        at.u16(0x0028).u16(0x0010);
        b.element(0x0008, 0x0018, "UI", std::string("1.2.3\0", 6))
            .element(0x0010, 0x0010, "PN", "Doe^John  ")
            .element(0x0020, 0x0032, "DS", " -1.5\\ 2 \\3.25 ")
            .element(0x0020, 0x0013, "IS", " 12 ")
            .element(0x0028, 0x0010, "US", numbers.text())
            .element(0x0018, 0x9087, "FD", fd.text())
            .element(0x0028, 0x0009, "AT", at.text())
            .element(0x0009, 0x0010, "OB", std::string(4, '\x07'));
        auto values = readAll(b.data);
        EXPECT_EQ(values[0x00180008], "1.2.3");
        EXPECT_EQ(values[0x00100010], "Doe^John");
        EXPECT_EQ(values[0x00320020], "-1.5\\2\\3.25");
        EXPECT_EQ(values[0x00130020], "12");
        EXPECT_EQ(values[0x00100028], "512\\65535");
        EXPECT_EQ(values[0x90870018], "-0.1");
        EXPECT_EQ(values[0x00090028], "(0028,0010)");
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
    // Its values are not read: a VR the dictionary does not list, an odd length for US.
    inner.tag(0x0008, 0x1115).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12")
        .element(0x0028, 0x3006, "OW", "ab").element(0x0028, 0x3002, "US", "abc").itemEnd().sequenceEnd();
    b.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item(uint32_t(inner.data.size())).raw(inner.text());
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

// Lengths past the end and unterminated sequences of a whole slice are in DicomMalformedInputTest.
TEST(DicomParser, BrokenStructuresFailWithoutReadingPastTheData)
{
    std::deque<std::tuple<const char*, int, Bytes>> cases;
    auto add = [&](const char* name, int code) -> Bytes& {
        return std::get<2>(cases.emplace_back(name, code, Bytes::file(explicitLE)));
    };
    add("item longer than its sequence", DicomTruncated)
        .tag(0x0008, 0x1140).raw("SQ").u16(0).u32(8).item(16).raw("12345678");
    add("undefined length where the VR forbids it", DicomMalformed)
        .tag(0x0009, 0x1000).raw("OB").u16(0).u32(0xFFFFFFFF).raw("xxxxxxxx");
    add("binary numbers of a length no multiple of their size", DicomMalformed)
        .element(0x0009, 0x1001, "UL", "abc ").element(0x0009, 0x1002, "US", "abc");
    add("something other than an item in a sequence", DicomMalformed)
        .tag(0x0008, 0x1140).raw("SQ").u16(0).u32(8).tag(0x0010, 0x0010).u32(0);
    add("delimiter at the top level", DicomMalformed).sequenceEnd();
    add("VR bytes that are no VR, in an odd group", DicomMalformed)
        .element(0x0008, 0x0060, "CS", "CT").tag(0x0009, 0x1000).raw("\x01\x02").u16(0);
    Bytes& deep = add("sequences nested deeper than the limit: refused, not a stack overflow", DicomMalformed);
    for (int i = 0; i < 10000; ++i)
        deep.tag(0x0009, 0x1000).raw("SQ").u16(0).u32(0xFFFFFFFF).item();
    for (const auto& [name, code, bytes] : cases)
        EXPECT_EQ(readError(bytes.data), code) << name;

    // An explicit syntax over a data set without VRs is read as implicit.
    Bytes mislabelled = Bytes::file(explicitLE);
    mislabelled.implicitElement(0x0010, 0x0010, "A^B ").implicitElement(0x0028, 0x0010, std::string("\x10\x00", 2));
    EXPECT_EQ(readAll(mislabelled.data)[0x00100028], "16");
    // Every prefix of a valid file is read or refused cleanly.
    Bytes whole = Bytes::file(explicitLE);
    whole.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12").itemEnd()
        .sequenceEnd().element(0x0010, 0x0010, "PN", "A^B ");
    for (std::size_t size = 0; size < whole.data.size(); ++size) {
        const int code = readError(std::vector<uint8_t>(whole.data.begin(), whole.data.begin() + std::ptrdiff_t(size)));
        EXPECT_TRUE(code == 0 || code == DicomTruncated || code == DicomException::NoImporter) << size << " " << code;
    }
    EXPECT_EQ(readError(whole.data), 0);
}

TEST(DicomParser, VRChecksFollowTheDictionary)
{
    UniversalImporter importer;
    EXPECT_TRUE(importer.checkVR(0x00100010, "PN"));
    EXPECT_TRUE(importer.checkVR(0x00100010, "UN"));
    EXPECT_FALSE(importer.checkVR(0x00100010, "US"));
    EXPECT_FALSE(importer.checkVR(0x00100010, "UC"));
    EXPECT_EQ(DicomTestSupport::errorOf([&] { importer.checkVR(0x00100009, "LO"); }), DicomException::UnknownTag);
    // In a file: a wrong VR on a known even tag is refused; odd groups and tags newer than the
    // dictionary keep the VR as written.
    Bytes wrong = Bytes::file(explicitLE);
    wrong.element(0x0010, 0x0010, "US", "ab");
    EXPECT_EQ(readError(wrong.data), DicomException::VRMismatch);
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
    Bytes bare, unknown;
    bare.element(0x0008, 0x0060, "CS", "CT").element(0x0010, 0x0020, "LO", "X1");
    EXPECT_EQ(readAll(bare.data)[0x00600008], "CT");
    unknown.element(0x0009, 0x0060, "CS", "CT");
    EXPECT_EQ(readError(unknown.data), DicomException::NoImporter);
    EXPECT_EQ(readError({0x08, 0x00}), DicomException::NoImporter);
}
