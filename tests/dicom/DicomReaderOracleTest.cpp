// Our header reader against pydicom over the sample files Debian ships with it.
#include "DicomTestSupport.h"
#include "common/TestSupport.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomDictionary.h"
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

using namespace Vexa;
using DicomTestSupport::errorOf;
using DicomTestSupport::testFiles;

namespace {

std::vector<std::string> allSamples()
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(DicomTestSupport::pydicomData))
        if (entry.is_regular_file() && entry.path().extension() != ".py" && entry.path().extension() != ".pyc")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Compares one element under the normalisation of the oracle script; "" when equal.
std::string compare(const std::string& ours, const QString& kind, const QJsonValue& theirs)
{
    if (kind == "text")
        return ours == theirs.toString().toLatin1().toStdString() ? "" : "text \"" + ours + "\" vs \"" + theirs.toString().toLatin1().toStdString() + "\"";
    if (kind == "utext")
        return ours == theirs.toString().toStdString() ? "" : "text \"" + ours + "\" vs \"" + theirs.toString().toStdString() + "\"";
    if (kind == "bulk" || kind == "sq")
        return "";
    const QJsonArray values = theirs.toArray();
    const QStringList parts = ours.empty() ? QStringList() : QString::fromStdString(ours).split('\\');
    if (parts.size() != values.size())
        return "value count of \"" + ours + "\" is not " + std::to_string(values.size());
    for (int i = 0; i < values.size(); ++i) {
        const std::string part = parts[i].toStdString();
        if (kind == "tag") {
            const auto word = uint32_t(values[i].toDouble());
            const std::string expected = DicomTag::text(DicomTag::tagWord(uint16_t(word >> 16), uint16_t(word)));
            if (part != expected)
                return "tag " + part + " vs " + expected;
            continue;
        }
        double mine = 0;
        try {
            mine = std::stod(part);
        } catch (...) {
            return "\"" + part + "\" is no number";
        }
        const double expected = values[i].toDouble();
        if (kind == "int") {
            // US or SS tags read without a VR: the dictionary's US gives the unsigned view.
            if (mine != expected && std::fmod(mine - expected, 65536.0) != 0)
                return part + " vs " + std::to_string(expected);
        } else if (std::fabs(mine - expected) > 1e-6 * std::max(1.0, std::fabs(expected))) {
            return part + " vs " + std::to_string(expected);
        }
    }
    return "";
}

bool uncompressed(const DicomInformation& information)
{
    auto syntax = information.getValue(0x00100002);
    return !syntax.second || syntax.first == "1.2.840.10008.1.2" || syntax.first == "1.2.840.10008.1.2.1" ||
           syntax.first == "1.2.840.10008.1.2.2";
}

struct OracleCounts
{
    int compared = 0, refused = 0, elements = 0;
    std::string refusals;
};

// Reads every file with our importer and compares each header element with pydicom's reading.
OracleCounts compareWithPydicom(const std::vector<std::string>& files)
{
    OracleCounts counts;
    QStringList arguments;
    for (const auto& file : files)
        arguments << QString::fromStdString(file);
    int exitCode = -1;
    const std::string json = DicomTestSupport::runTool("pydicom_values.py", arguments, &exitCode);
    EXPECT_EQ(exitCode, 0);
    const QJsonObject oracle = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_EQ(std::size_t(oracle.size()), files.size());

    UniversalImporter importer;
    for (const auto& file : files) {
        std::shared_ptr<DicomInformation> information;
        try {
            information = importer.readInformation(file);
        } catch (const DicomException& error) {
            ++counts.refused; // a refusal is fine; anything other than a DicomException fails the test
            counts.refusals += std::string("  ") + error.what() + "\n";
            continue;
        }
        const QJsonObject entry = oracle.value(QString::fromStdString(file)).toObject();
        if (entry.contains("error") || !uncompressed(*information))
            continue;
        ++counts.compared;
        std::set<uint32_t> seen;
        for (const QJsonValue& value : entry.value("elements").toArray()) {
            const QJsonArray element = value.toArray();
            const uint32_t pydicomTag = uint32_t(element[0].toDouble());
            const uint32_t tagWord = DicomTag::tagWord(uint16_t(pydicomTag >> 16), uint16_t(pydicomTag));
            const std::string name = DicomTag::text(tagWord);
            seen.insert(tagWord);
            auto ours = information->getValue(tagWord);
            EXPECT_TRUE(ours.second) << file << " lacks " << name;
            // Private data elements have no VR in implicit files; pydicom guesses theirs.
            const bool privateData = (pydicomTag >> 16) % 2 == 1 && (pydicomTag & 0xFFFF) >= 0x1000;
            // So have implicit elements our dictionary lacks: they are kept without a text.
            const bool unknownImplicit = ours.first.empty() && !DicomDictionary::getInstance().isKnownTag(tagWord);
            const std::string difference =
                privateData || unknownImplicit ? std::string() : compare(ours.first, element[2].toString(), element[3]);
            EXPECT_EQ(difference, "") << file << " " << name << " " << element[1].toString().toStdString();
            ++counts.elements;
        }
        for (const auto& [tagWord, text] : information->getValues())
            EXPECT_TRUE(tagWord == 0x00107FE0 || seen.count(tagWord))
                << file << " has an element pydicom does not: " << std::hex << tagWord;
    }
    return counts;
}

// pydicom's samples as shipped, and as DCMTK's and GDCM's converters rewrite them (GDCM also
// decompresses the compressed ones), some of GDCM's files converted on by DCMTK. The samples in
// four groups (every fourth in name order, from the `group`-th), a test each, so that none runs
// long; at least the given numbers of files compared, elements compared and files refused.
void matchPydicomOnSamplesAndTheirConversions(std::size_t group, int compared, int elements, int refused)
{
    const std::vector<std::string> samples = allSamples();
    ASSERT_GT(samples.size(), 150u);
    std::vector<std::string> files;
    for (std::size_t i = group; i < samples.size(); i += 4)
        files.push_back(samples[i]);
    TestSupport::ScratchDir scratch;
    int converted = 0;
    // The converted file, "" when the converter refuses (damaged files; DCMTK: compressed ones).
    auto convert = [&](QStringList command, const std::string& source) {
        const std::string target = scratch.file(std::to_string(++converted) + ".dcm");
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(command.takeFirst(), command << QString::fromStdString(source) << QString::fromStdString(target));
        const bool done = process.waitForFinished() && process.exitCode() == 0 && std::filesystem::exists(target);
        return done ? target : std::string();
    };
    for (const auto& file : std::vector<std::string>(files)) {
        const std::string gdcm = convert({"gdcmconv", "--raw"}, file);
        for (const std::string& made : {gdcm, convert({"gdcmconv", "--raw", "--implicit"}, file),
                                        convert({"dcmconv", "+ti"}, file), convert({"dcmconv", "+tb"}, gdcm)})
            if (!made.empty())
                files.push_back(made);
    }
    const OracleCounts counts = compareWithPydicom(files);
    std::printf("compared %d files (%d elements) with pydicom; refused %d:\n%s", counts.compared, counts.elements,
                counts.refused, counts.refusals.c_str());
    // Over a hundred samples and some four hundred conversions, with tens of thousands of elements,
    // in all four groups together; each group's bounds are a quarter of that.
    EXPECT_GE(counts.compared, compared);
    EXPECT_GE(counts.elements, elements);
    EXPECT_GE(counts.refused, refused);
}

}

TEST(DicomReaderOracle, HeaderTextsMatchPydicomOnSamplesAndTheirConversionsFirstGroup)
{
    matchPydicomOnSamplesAndTheirConversions(0, 115, 5000, 2);
}
TEST(DicomReaderOracle, HeaderTextsMatchPydicomOnSamplesAndTheirConversionsSecondGroup)
{
    matchPydicomOnSamplesAndTheirConversions(1, 115, 5000, 2);
}
TEST(DicomReaderOracle, HeaderTextsMatchPydicomOnSamplesAndTheirConversionsThirdGroup)
{
    matchPydicomOnSamplesAndTheirConversions(2, 115, 5000, 2);
}
TEST(DicomReaderOracle, HeaderTextsMatchPydicomOnSamplesAndTheirConversionsFourthGroup)
{
    matchPydicomOnSamplesAndTheirConversions(3, 115, 5000, 2);
}

// Open-VR tags in every allowed VR inside nested sequences, and standard tags written as UN: every
// file reads; the explicit little-endian ones agree with pydicom and the other syntaxes with them.
TEST(DicomReaderOracle, EveryAllowedVRInSequencesAndUNEncodedTagsRead)
{
    TestSupport::ScratchDir scratch;
    int exitCode = -1;
    DicomTestSupport::runTool("write_vr_fixtures.py", {scratch.qpath()}, &exitCode);
    ASSERT_EQ(exitCode, 0);
    std::vector<std::string> explicitFiles;
    for (char k : {'0', '1', '2'})
        explicitFiles.push_back(scratch.file(std::string("vr_explicit_") + k + ".dcm"));
    const OracleCounts counts = compareWithPydicom(explicitFiles);
    EXPECT_EQ(counts.refused, 0) << counts.refusals;
    EXPECT_EQ(counts.compared, 3);

    UniversalImporter importer;
    for (const auto& file : explicitFiles) {
        const auto reference = importer.readInformation(file)->getValues();
        EXPECT_EQ(reference.at(0x00100028), "4");               // Rows, US written as UN
        EXPECT_EQ(reference.at(0x13100018), "0\\256\\256\\0"); // Acquisition Matrix
        for (const char* syntax : {"big", "implicit"}) {
            std::string twin = file;
            twin.replace(twin.find("explicit"), 8, syntax);
            std::map<uint32_t, std::string> values;
            ASSERT_NO_THROW(values = importer.readInformation(twin)->getValues()) << twin;
            const bool implicit = std::string(syntax) == "implicit";
            values.erase(0x00100002);
            if (implicit) // shorter syntax UID; no UN elements; no text without the dictionary's VR
                std::erase_if(values, [](const auto& item) {
                    return item.first == 0x00000002 || !DicomDictionary::getInstance().isKnownTag(item.first);
                });
            for (const auto& [tagWord, text] : values)
                EXPECT_EQ(text, reference.at(tagWord)) << twin << " " << DicomTag::text(tagWord);
            if (!implicit) {
                EXPECT_EQ(values.size() + 1, reference.size()) << twin;
            }
        }
    }
}

TEST(DicomReaderOracle, FilesWithoutPreambleNeedAKnownFirstTag)
{
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    manager.insertImporter(new DVT9000Importer);
    // Explicit and implicit little endian without preamble start with a known tag.
    EXPECT_EQ(manager.readInformation(testFiles + "/ExplVR_LitEndNoMeta.dcm")->getValue(0x00600008).first, "RTPLAN");
    EXPECT_TRUE(manager.readInformation(testFiles + "/rtstruct.dcm")->getValue(0x00200010).second);
    // Big endian without preamble, a stray first byte, and a gzip file are not DICOM to us.
    for (const char* name : {"ExplVR_BigEndNoMeta.dcm", "no_meta.dcm", "zipMR.gz", "README.txt"})
        EXPECT_EQ(errorOf([&] { manager.readInformation(testFiles + "/" + name); }), DicomException::NoImporter) << name;
    // A missing file or a folder is no DICOM file either.
    EXPECT_THROW(manager.readInformation(testFiles + "/nonexistent.dcm"), DicomException);
    EXPECT_THROW(manager.readInformation(testFiles), DicomException);
}

TEST(DicomReaderOracle, DamagedAndCompressedFilesFailClearly)
{
    UniversalImporter importer;
    std::string message;
    EXPECT_EQ(errorOf([&] { importer.readInformation(testFiles + "/rtplan_truncated.dcm"); }, &message), DicomTruncated);
    EXPECT_NE(message.find("rtplan_truncated.dcm"), std::string::npos) << message;
    // Compressed files: the header is there, the pixels are refused with their own code.
    for (const char* name : {"MR_small_RLE.dcm", "MR_small_jp2klossless.dcm", "JPEG2000.dcm", "CT_small.dcm"}) {
        auto information = importer.readInformation(testFiles + "/" + name);
        EXPECT_TRUE(information->getValue(0x00100010).second) << name;
    }
    for (const char* name : {"MR_small_RLE.dcm", "MR_small_jp2klossless.dcm", "MR_small_jpeg_ls_lossless.dcm"}) {
        UniversalImporter slice;
        slice.setFiles({testFiles + "/" + name});
        EXPECT_EQ(errorOf([&] { slice.start(); }, &message), DicomCompressedPixels) << name;
        EXPECT_NE(message.find("compressed"), std::string::npos) << message;
        EXPECT_EQ(slice.getData(), nullptr);
    }
    // The pixel data of MR_truncated ends early: the header reads, the import fails.
    EXPECT_NO_THROW(importer.readInformation(testFiles + "/MR_truncated.dcm"));
    UniversalImporter truncated;
    truncated.setFiles({testFiles + "/MR_truncated.dcm"});
    EXPECT_THROW(truncated.start(), DicomException);
    // The CT sample: HU + 1000 in 12 bits, device CT.
    UniversalImporter ct;
    ct.setFiles({testFiles + "/CT_small.dcm"});
    ASSERT_TRUE(ct.start());
    EXPECT_EQ(ct.getData()->getInformation()->getImageDevice(), DicomInformation::CT);
    EXPECT_EQ(ct.getData()->getInformation()->getImageDeviceName(), "CT");
}
