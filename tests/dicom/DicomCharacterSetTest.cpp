// Text values in the data set's character set come out as UTF-8: the header of one file, written
// byte by byte, and a series with a Latin-1 name through the import.
#include "DicomBytes.h"
#include "DicomTestSupport.h"
#include "common/TestSupport.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

using namespace Vexa;
using DicomTestSupport::Bytes;

namespace {

constexpr unsigned patientNameTag = 0x00100010u; // (0010,0010)
constexpr unsigned institutionTag = 0x00800008u; // (0008,0080), LO
constexpr unsigned modalityTag = 0x00600008u;    // (0008,0060), CS: never decoded

std::string even(std::string text, char pad = ' ')
{
    if (text.size() % 2)
        text += pad;
    return text;
}

// A header with the character set (none when null), the name and the institution, in explicit or
// implicit little endian.
std::vector<uint8_t> header(const char* characterSet, const std::string& bytes, bool implicit)
{
    Bytes b = Bytes::file(implicit ? "1.2.840.10008.1.2" : "1.2.840.10008.1.2.1");
    auto element = [&](uint16_t g, uint16_t e, const char* vr, const std::string& value) {
        if (implicit)
            b.implicitElement(g, e, even(value));
        else
            b.element(g, e, vr, even(value));
    };
    if (characterSet)
        element(0x0008, 0x0005, "CS", characterSet);
    element(0x0008, 0x0060, "CS", "CT");
    element(0x0008, 0x0080, "LO", bytes);
    element(0x0010, 0x0010, "PN", bytes);
    return b.data;
}

}

TEST(DicomCharacterSet, TextValuesBecomeUtf8ByTheSeriesCharacterSet)
{
    // Names as their sets write them, and the UTF-8 they are.
    const std::string fffd = "\xEF\xBF\xBD"; // U+FFFD, shown for what cannot be read
    const struct
    {
        const char* set;
        std::string bytes, utf8;
        std::string longString = {}; // the institution (LO), when not the name's text
    } cases[] = {
        {nullptr, "Doe^John", "Doe^John"},
        {nullptr, "M\xFCller^J\xFCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"}, // bytes above 0x7F as Latin-1
        {"ISO_IR 6", "M\xFCller^J\xFCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"},
        {"ISO_IR 100", "M\xFCller^J\xFCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"},
        {"ISO 2022 IR 100", "M\xFCller", "M\xC3\xBCller"},
        {"ISO_IR 192", "M\xC3\xBCller^J\xC3\xBCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"},
        {"ISO_IR 192", "M\xFCller", "M\xC3\xBCller"}, // not UTF-8 after all: Latin-1
        {"ISO_IR 101", "Wa\xB3\xEAsa", "Wa\xC5\x82\xC4\x99sa"},
        {"ISO_IR 109", "\xA1" "al", "\xC4\xA6" "al"},
        {"ISO_IR 110", "\xA1\xBEuolas", "\xC4\x84\xC5\xBEuolas"},
        {"ISO_IR 144", "\xB8\xD2\xD0\xDD\xDE\xD2", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2"},
        {"ISO 2022 IR 144", "\xB8\xD2", "\xD0\x98\xD0\xB2"},
        {"ISO_IR 127", "\xE2\xC8\xC7\xE6\xEA", "\xD9\x82\xD8\xA8\xD8\xA7\xD9\x86\xD9\x8A"},
        {"ISO_IR 126", "\xC4\xE9\xEF\xED\xF5\xF3\xE9\xEF\xF2",
         "\xCE\x94\xCE\xB9\xCE\xBF\xCE\xBD\xCF\x85\xCF\x83\xCE\xB9\xCE\xBF\xCF\x82"},
        {"ISO_IR 138", "\xF9\xF8\xE5\xEF", "\xD7\xA9\xD7\xA8\xD7\x95\xD7\x9F"},
        {"ISO_IR 148", "\xDE" "ahin", "\xC5\x9E" "ahin"},
        {"ISO_IR 166", "\xCA\xC1\xAA\xD2\xC2", "\xE0\xB8\xAA\xE0\xB8\xA1\xE0\xB8\x8A\xE0\xB8\xB2\xE0\xB8\xA2"},
        {"ISO_IR 13", "\xB1\xB2\xB3", "\xEF\xBD\xB1\xEF\xBD\xB2\xEF\xBD\xB3"},
        {"ISO_IR 13", "A\xE0", "A" + fffd},              // no character of the set
        {"\\ISO 2022 IR 100", "M\xFCller", "M\xC3\xBCller"}, // default first, extension second
        {"ISO_IR 999", "M\xFCller", "M\xC3\xBCller"},     // a set nobody knows: Latin-1
        // No set named, and the bytes are UTF-8: as some devices write them. A set named is obeyed.
        {nullptr, "M\xC3\xBCller^J\xC3\xBCrgen", "M\xC3\xBCller^J\xC3\xBCrgen"},
        {"ISO_IR 100", "M\xC3\xBCller", "M\xC3\x83\xC2\xBCller"},
        // Controls, C1 bytes and escape sequences that designate nothing are never shown.
        {"ISO_IR 100", "A\x80\x9F" "B", "A" + fffd + fffd + "B"},
        {nullptr, "Doe\x01^John", "Doe" + fffd + "^John"},
        {"ISO_IR 192", "A\xC2\x85" "B", "A" + fffd + "B"},
        {"ISO 2022 IR 100", "Ab\x1B", "Ab" + fffd},
        {"\\ISO 2022 IR 87", "A\x1B$(Q\x30\x21\x1B(BZ", "A" + fffd + fffd + "Z"}, // a set nobody here reads
        // Code extensions: escape sequences designate the sets.
        {"ISO 2022 IR 144", "\x1B-L\xB8\xD2\xD0\xDD\xDE\xD2", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2"},
        {"ISO 2022 IR 6\\ISO 2022 IR 144", "\x1B-L\xB8\xD2", "\xD0\x98\xD0\xB2"},
        {"ISO 2022 IR 6\\ISO 2022 IR 144", "\xB8\xD2", "\xD0\x98\xD0\xB2"}, // its escape sequence left out
        // A name's components and every value start in value 1's set again; other texts' do not.
        {"ISO 2022 IR 100\\ISO 2022 IR 144", "\x1B-L\xB8^\xB8", "\xD0\x98^\xC2\xB8", "\xD0\x98^\xD0\x98"},
        {"ISO 2022 IR 100\\ISO 2022 IR 144", "\x1B-L\xB8\\\xB8", "\xD0\x98\\\xC2\xB8"},
        // The standard's examples: Japanese (JIS X 0208 after ASCII, and after JIS X 0201), Korean,
        // Chinese, and JIS X 0212.
        {"\\ISO 2022 IR 87",
         "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B$B$?$m$&\x1B(B",
         "Yamada^Tarou=\u5C71\u7530^\u592A\u90CE=\u3084\u307E\u3060^\u305F\u308D\u3046"},
        {"ISO 2022 IR 13\\ISO 2022 IR 87",
         "\xD4\xCF\xC0\xDE^\xC0\xDB\xB3=\x1B$B;3ED\x1B(J^\x1B$BB@O:\x1B(J=\x1B$B$d$^$@\x1B(J^\x1B$B$?$m$&\x1B(J",
         "\uFF94\uFF8F\uFF80\uFF9E^\uFF80\uFF9B\uFF73=\u5C71\u7530^\u592A\u90CE=\u3084\u307E\u3060^\u305F\u308D\u3046"},
        {"\\ISO 2022 IR 149",
         "Hong^Gildong=\x1B$)C\xFB\xF3^\x1B$)C\xD1\xCE\xD4\xD7=\x1B$)C\xC8\xAB^\x1B$)C\xB1\xE6\xB5\xBF",
         "Hong^Gildong=\u6D2A^\u5409\u6D1E=\uD64D^\uAE38\uB3D9"},
        {"\\ISO 2022 IR 58", "Wang^XiaoDong=\x1B$)A\xCD\xF5^\x1B$)A\xD0\xA1\xB6\xAB=",
         "Wang^XiaoDong=\u738B^\u5C0F\u4E1C="},
        {"\\ISO 2022 IR 159", "\x1B$(D0!\x1B(B", "\u4E02"},
        // GB18030 and GBK, without code extensions: the standard's example; a pair whose second byte
        // is a backslash; a character of four bytes.
        {"GB18030", "Wang^XiaoDong=\xCD\xF5^\xD0\xA1\xB6\xAB=", "Wang^XiaoDong=\u738B^\u5C0F\u4E1C="},
        {"GBK", "Li^Cheng=\xC0\xEE^\xD5\\=", "Li^Cheng=\u674E^\u8AA0="},
        {"GB18030", "\x95\x32\x82\x36\xFF", "\U00020000" + fffd},
    };
    const UniversalImporter importer;
    for (const auto& c : cases)
        for (const bool implicit : {false, true}) {
            const std::vector<uint8_t> data = header(c.set, c.bytes, implicit);
            const auto information = importer.readInformation(data.data(), data.size(), "name.dcm");
            const std::string what = std::string(c.set ? c.set : "(none)") + (implicit ? " implicit" : " explicit");
            // Values are space-padded to even length; the trailing blank is not part of the name.
            EXPECT_EQ(information->getValue(patientNameTag).first, c.utf8) << what;
            EXPECT_EQ(information->getValue(institutionTag).first, c.longString.empty() ? c.utf8 : c.longString) << what;
            EXPECT_EQ(information->getValue(modalityTag).first, "CT") << what;
        }
}

// The whole series import keeps the name of the slice that describes the volume in UTF-8.
TEST(DicomCharacterSet, AnImportedSeriesCarriesItsNameInUtf8)
{
    TestSupport::ScratchDir scratch;
    const QVariantMap spec{{"dims", QVariantList{4, 4, 3}},
                           {"spacing", QVariantList{0.5, 0.5, 1.0}},
                           {"folder", QString::fromStdString(scratch.file("latin1"))},
                           {"charset", "ISO_IR 100"},
                           {"patient", QString::fromUtf8("M\xC3\xBCller^J\xC3\xBCrgen")}};
    int exitCode = -1;
    DicomTestSupport::runTool("write_series.py",
                              {QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(spec)).toJson())}, &exitCode);
    ASSERT_EQ(exitCode, 0);
    const auto files = TestSupport::filesIn(scratch.file("latin1"));
    // The name is written in Latin-1 indeed: one byte for the "ü".
    std::string bytes;
    {
        std::ifstream in(files.front(), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_NE(bytes.find("M\xFCller^J\xFCrgen"), std::string::npos);

    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    EXPECT_EQ(manager.readInformation(files.front())->getValue(patientNameTag).first, "M\xC3\xBCller^J\xC3\xBCrgen");
    manager.setFiles(files);
    ASSERT_TRUE(manager.start());
    const auto volume = std::dynamic_pointer_cast<DicomVolume>(manager.getData());
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->getInformation()->getValue(patientNameTag).first, "M\xC3\xBCller^J\xC3\xBCrgen");
}
