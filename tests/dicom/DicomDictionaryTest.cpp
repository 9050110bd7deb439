#include "DicomDictionaryTestAccess.h"

#include "dicom/core/DicomException.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace Vexa;
using DicomTestSupport::tag;
using DicomTestSupport::TestDictionary;
using VR = EDicomTagValueRepresentation;

namespace {

using Counts = std::map<std::string, int>;

std::string vrText(VR vr)
{
    return std::string(valueRepresentationName(vr));
}

std::vector<VR> vrs(std::initializer_list<VR> list)
{
    return std::vector<VR>(list);
}

// What one fill step added, measured against the dictionary before it ran.
struct StepContents
{
    std::vector<const DicomTag*> plain;
    std::vector<const WildcardDicomTag*> wildcards;
    int furtherVRs = 0; // VRs beyond the first on the step's own entries
    Counts versions, firstVRs, groups;
};

std::vector<StepContents> fillStepByStep(TestDictionary& dictionary)
{
    std::vector<StepContents> steps;
    for (int step = 1; step <= 5; ++step)
    {
        std::set<unsigned int> before;
        for (const auto& [key, entry] : dictionary.tags())
            before.insert(key);
        const std::size_t wildcardsBefore = dictionary.wildcards().size();
        EXPECT_TRUE(dictionary.runStep(step));
        StepContents contents;
        for (const auto& [key, entry] : dictionary.tags())
            if (!before.count(key))
                contents.plain.push_back(entry.get());
        for (std::size_t i = wildcardsBefore; i < dictionary.wildcards().size(); ++i)
            contents.wildcards.push_back(dictionary.wildcards()[i].get());
        auto count = [&contents](const DicomTag& entry, bool wildcard) {
            contents.furtherVRs += static_cast<int>(entry.valueRepresentations().size()) - 1;
            ++contents.versions[entry.version()];
            ++contents.firstVRs[vrText(entry.valueRepresentation())];
            char group[8];
            std::snprintf(group, sizeof group, "%04X", DicomTag::groupOf(entry.tagWord()));
            std::string name = group;
            if (wildcard && (entry.tagWord() & 0xFFu) == 0 && (static_cast<WildcardDicomTag const&>(entry).mask() & 0xFFu) == 0)
                name = name.substr(0, 2) + "xx";
            ++contents.groups[name];
        };
        for (const DicomTag* entry : contents.plain)
            count(*entry, false);
        for (const WildcardDicomTag* entry : contents.wildcards)
            count(*entry, true);
        steps.push_back(std::move(contents));
    }
    return steps;
}

}

// The counts each fill step is defined by: entries, further VRs, version labels, first VRs and
// groups. Further VRs are counted right after each step, so the SH that step 5 adds to step 4's
// (50xx,0030) is not among step 4's.
TEST(DicomDictionary, FillStepsMakeTheirEntries)
{
    TestDictionary dictionary{TestDictionary::Unfilled{}};
    const std::vector<StepContents> steps = fillStepByStep(dictionary);
    ASSERT_EQ(steps.size(), 5u);

    const int plain[] = {373, 366, 383, 374, 37};
    const int wildcards[] = {5, 0, 0, 6, 46};
    const int further[] = {25, 34, 17, 20, 9};
    for (int i = 0; i < 5; ++i)
    {
        SCOPED_TRACE("fill step " + std::to_string(i + 1));
        EXPECT_EQ(static_cast<int>(steps[i].plain.size()), plain[i]);
        EXPECT_EQ(static_cast<int>(steps[i].wildcards.size()), wildcards[i]);
        EXPECT_EQ(steps[i].furtherVRs, further[i]);
    }
    EXPECT_EQ(dictionary.tags().size(), 1533u);
    EXPECT_EQ(dictionary.wildcards().size(), 57u);

    EXPECT_EQ(steps[0].versions,
              (Counts{{"3", 290}, {"2", 70}, {"3PET", 7}, {"3STP", 4}, {"3CP", 3}, {"3DX", 2}, {"3???", 2}}));
    EXPECT_EQ(steps[1].versions,
              (Counts{{"3", 279}, {"3DX", 52}, {"3PPS", 12}, {"3SC", 9}, {"3CP", 7}, {"3USP", 6}, {"3PCF", 1}}));
    EXPECT_EQ(steps[2].versions, (Counts{{"3", 143}, {"3RT", 74}, {"3GPW", 30}, {"3DX", 29}, {"3PET", 28}, {"3PCF", 26},
                                         {"3PPS", 18}, {"3SIG", 11}, {"3???", 10}, {"3PQ", 7}, {"3STP", 2}, {"3LUT", 2},
                                         {"3CP", 1}, {"3OVL", 1}, {"3PLT", 1}}));
    EXPECT_EQ(steps[3].versions, (Counts{{"3RT", 344}, {"3CP", 1}, {"3", 34}, {"3SIG", 1}}));
    EXPECT_EQ(steps[4].versions, (Counts{{"3", 52}, {"3SIG", 1}, {"3RET", 23}, {"3DFT", 7}}));

    EXPECT_EQ(steps[1].firstVRs, (Counts{{"DS", 71}, {"CS", 64}, {"IS", 50}, {"US", 42}, {"LO", 32}, {"UL", 25}, {"DA", 16},
                                         {"TM", 16}, {"SQ", 13}, {"LT", 9}, {"FD", 7}, {"UI", 4}, {"OW", 3}, {"AE", 3},
                                         {"SL", 2}, {"FL", 2}, {"SS", 2}, {"ST", 2}, {"PN", 2}, {"AT", 1}}));
    EXPECT_EQ(steps[2].firstVRs, (Counts{{"SQ", 101}, {"CS", 86}, {"DS", 52}, {"US", 42}, {"LO", 29}, {"IS", 22}, {"UL", 11},
                                         {"ST", 9}, {"UI", 5}, {"LT", 4}, {"PN", 4}, {"DA", 4}, {"TM", 4}, {"DT", 3},
                                         {"OB", 3}, {"AE", 2}, {"UT", 1}, {"AT", 1}}));
    EXPECT_EQ(steps[3].firstVRs, (Counts{{"DS", 109}, {"CS", 68}, {"SQ", 67}, {"IS", 58}, {"LO", 25}, {"ST", 16}, {"DA", 12},
                                         {"TM", 10}, {"PN", 7}, {"LT", 2}, {"UL", 2}, {"US", 2}, {"UI", 1}, {"AT", 1}}));
    EXPECT_EQ(steps[4].firstVRs, (Counts{{"US", 28}, {"CS", 15}, {"IS", 7}, {"OW", 7}, {"DS", 5}, {"SQ", 5}, {"UL", 5},
                                         {"LO", 4}, {"UN", 3}, {"LT", 1}, {"OB", 1}, {"SS", 1}, {"UI", 1}}));

    EXPECT_EQ(steps[1].groups,
              (Counts{{"0018", 185}, {"0020", 33}, {"0028", 72}, {"0032", 26}, {"0038", 22}, {"0040", 28}}));
    EXPECT_EQ(steps[2].groups,
              (Counts{{"0040", 93}, {"0050", 9}, {"0054", 78}, {"0060", 7}, {"0088", 8}, {"0400", 11}, {"2000", 22},
                      {"2010", 27}, {"2020", 10}, {"2030", 3}, {"2040", 10}, {"2050", 3}, {"2100", 11}, {"2110", 5},
                      {"2120", 3}, {"2130", 9}, {"3002", 18}, {"3004", 22}, {"3006", 34}}));
    EXPECT_EQ(steps[3].groups, (Counts{{"3006", 12}, {"3008", 77}, {"300A", 227}, {"300C", 25}, {"300E", 4},
                                       {"4008", 28}, {"4FFE", 1}, {"50xx", 6}}));
    EXPECT_EQ(steps[4].groups, (Counts{{"50xx", 20}, {"60xx", 26}, {"7FE0", 2}, {"FFFA", 1}, {"FFFC", 1}, {"FFFE", 3},
                                       {"0008", 5}, {"0018", 4}, {"0020", 5}, {"0028", 7}, {"0040", 4}, {"2020", 2},
                                       {"2040", 3}}));

    // The first four steps hold one ascending run of exact tags; no step carries the label "2"
    // beyond the ACR-NEMA block and the three context entries of step 1, no SH comes first,
    // and no odd group is loaded outside the wildcards.
    auto ordinal = [](const DicomTag* entry) -> unsigned int {
        return (DicomTag::groupOf(entry->tagWord()) << 16) | DicomTag::elementOf(entry->tagWord());
    };
    auto range = [&](const StepContents& step) {
        std::pair<unsigned int, unsigned int> r{~0u, 0u};
        for (const DicomTag* entry : step.plain)
            r = {std::min(r.first, ordinal(entry)), std::max(r.second, ordinal(entry))};
        return r;
    };
    EXPECT_EQ(range(steps[1]), std::make_pair(0x00181156u, 0x00400255u));
    EXPECT_EQ(range(steps[2]), std::make_pair(0x00400260u, 0x30060086u));
    EXPECT_EQ(range(steps[3]).first, 0x30060088u);
    for (int i = 0; i < 5; ++i)
    {
        for (const DicomTag* entry : steps[i].plain)
        {
            EXPECT_NE(entry->valueRepresentation(), VR::SH);
            EXPECT_EQ(DicomTag::groupOf(entry->tagWord()) % 2, 0);
            if (i == 1 || i == 2)
            {
                EXPECT_NE(entry->version(), "2");
                EXPECT_FALSE(entry->name().empty());
            }
        }
    }
    // No plain key is matched by a wildcard, and no two wildcards overlap: search order never matters.
    for (const auto& [key, entry] : dictionary.tags())
        for (const auto& wildcard : dictionary.wildcards())
            EXPECT_FALSE(wildcard->matches(key)) << std::hex << key;
    for (std::size_t i = 0; i < dictionary.wildcards().size(); ++i)
        for (std::size_t j = i + 1; j < dictionary.wildcards().size(); ++j)
        {
            const auto& a = *dictionary.wildcards()[i];
            const auto& b = *dictionary.wildcards()[j];
            EXPECT_NE(a.tagWord() & b.mask(), b.tagWord() & a.mask()) << i << " " << j;
        }
}

TEST(DicomDictionary, EntriesHoldTheirVRListsNamesAndVersions)
{
    TestDictionary dictionary;
    struct Expected
    {
        unsigned int tagWord;
        std::vector<VR> vrs;
        std::string name, version;
    };
    const Expected expected[] = {
        {tag(0x0008, 0x0040), vrs({VR::US, VR::UN, VR::SS}), "Old Data Set Type", "2"},
        {tag(0x0028, 0x0040), vrs({VR::CS, VR::LT, VR::SH}), "Image Format", "2"},
        {tag(0x0028, 0x0005), vrs({VR::SS, VR::US}), "Image Dimensions", "2"},
        {tag(0x0008, 0x0050), vrs({VR::CS, VR::SH}), "Accession Number", "3"},
        {tag(0x0008, 0x0105), vrs({VR::CS}), "Mapping Resource", "2"},
        {tag(0x0008, 0x115A), vrs({VR::UI}), "SOP Classes Supported", "3???"},
        {tag(0x0018, 0x1155), vrs({VR::CS}), "Radiation Setting", "3"},
        {tag(0x0018, 0x1156), vrs({VR::CS}), "Rectification Type", "3DX"},
        {tag(0x0020, 0x0010), vrs({VR::CS, VR::SH}), "Study ID", "3"},
        {tag(0x0020, 0x0011), vrs({VR::IS}), "Series Number", "3"},
        {tag(0x0020, 0x0032), vrs({VR::DS}), "Image Position (Patient)", "3"},
        {tag(0x0020, 0x0037), vrs({VR::DS}), "Image Orientation (Patient)", "3"},
        {tag(0x0028, 0x0010), vrs({VR::US}), "Rows", "3"},
        {tag(0x0028, 0x0011), vrs({VR::US}), "Columns", "3"},
        {tag(0x0028, 0x0030), vrs({VR::DS}), "Pixel Spacing", "3"},
        {tag(0x0028, 0x0100), vrs({VR::US}), "Bits Allocated", "3"},
        {tag(0x0028, 0x0101), vrs({VR::US}), "Bits Stored", "3"},
        {tag(0x0028, 0x0102), vrs({VR::US}), "High Bit", "3"},
        {tag(0x0028, 0x0103), vrs({VR::US}), "Pixel Representation", "3"},
        {tag(0x0028, 0x1052), vrs({VR::DS}), "Rescale Intercept", "3"},
        {tag(0x0028, 0x1053), vrs({VR::DS}), "Rescale Slope", "3"},
        {tag(0x0028, 0x0009), vrs({VR::AT}), "Frame Increment Pointer", "3"},
        {tag(0x0028, 0x1201), vrs({VR::US, VR::OW, VR::SS}), "Red Palette Color Lookup Table Data", "3"},
        {tag(0x0028, 0x1221), vrs({VR::OW}), "Segmented Red Palette Color Lookup Table Data", "3"},
        {tag(0x0028, 0x3006), vrs({VR::US}), "LUT Data", "3"},
        {tag(0x0028, 0x0106), vrs({VR::US, VR::SS}), "Smallest Image Pixel Value", "3"},
        {tag(0x0028, 0x0000), vrs({VR::UL}), "Image Presentation Group Length", "3"},
        {tag(0x0040, 0x0000), vrs({VR::UL}), "0x0040 Group Length", "3"},
        {tag(0x0040, 0x0255), vrs({VR::LO}), "Performed Procedure Type Description", "3PPS"},
        {tag(0x0040, 0x0260), vrs({VR::SQ}), "Performed Protocol Code Sequence", "3PPS"},
        {tag(0x0040, 0xA160), vrs({VR::UT}), "Text Value", "3DX"},
        {tag(0x0400, 0x0120), vrs({VR::OB}), "Signature", "3SIG"},
        {tag(0x3006, 0x0050), vrs({VR::DS}), "Contour Data", "3RT"},
        {tag(0x3006, 0x0086), vrs({VR::SQ}), "RT ROI Identification Code Sequence", "3RT"},
        {tag(0x3008, 0x0022), vrs({VR::IS}), "Current Fraction  Number", "3RT"},
        {tag(0x300A, 0x00B2), vrs({VR::CS, VR::SH}), "Treatment Machine Name ", "3RT"},
        {tag(0x300A, 0x0010), vrs({VR::SQ}), "Dose ReferenceSequence", "3RT"},
        {tag(0x300A, 0x00EE), vrs({VR::CS}), "CompensatorType", "3CP"},
        {tag(0x7FE0, 0x0010), vrs({VR::OW, VR::OB}), "Pixel Data", "3"},
        {tag(0xFFFC, 0xFFFC), vrs({VR::OB}), "Data Set Trailing Padding", "3"},
        {tag(0xFFFE, 0xE000), vrs({VR::UN}), "Item", "3"},
        {tag(0x0008, 0x0042), vrs({VR::CS}), "Nuclear Medicine Series Type {Retired)", "3RET"},
        {tag(0x5000, 0x0030), vrs({VR::CS, VR::SH}), "Axis Units", "3"},
        {tag(0x5004, 0x2600), vrs({VR::SQ}), "CurveReferenced Overlay Sequence", "3"},
        // The tags the importer needs of every file.
        {tag(0x0008, 0x1090), vrs({VR::LO}), "Manufacturer's Model Name", "3"},
        {tag(0x0010, 0x0010), vrs({VR::PN}), "Patient's Name", "3"},
        {tag(0x0010, 0x0020), vrs({VR::LO}), "Patient's ID", "3"},
        {tag(0x0018, 0x0050), vrs({VR::DS}), "Slice Thickness", "3"},
    };
    for (const Expected& e : expected)
    {
        SCOPED_TRACE(e.name);
        const DicomTag* entry = dictionary.find(e.tagWord);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->valueRepresentations(), e.vrs);
        EXPECT_EQ(entry->name(), e.name);
        EXPECT_EQ(entry->version(), e.version);
        EXPECT_EQ(dictionary.getVR(e.tagWord), e.vrs.front());
        EXPECT_EQ(dictionary.getVersion(e.tagWord), e.version);
        int count = -1;
        for (int i = 0; i < static_cast<int>(e.vrs.size()); ++i)
            EXPECT_EQ(dictionary.getVR(e.tagWord, count, i), e.vrs[static_cast<std::size_t>(i)]);
        EXPECT_EQ(count, static_cast<int>(e.vrs.size()));
    }
}

TEST(DicomDictionary, WildcardsMatchTheirRepeatingGroups)
{
    TestDictionary dictionary;
    const auto& list = dictionary.wildcards();
    ASSERT_EQ(list.size(), 57u);
    // The order of appending: the five of step 1 first, then the curve entries, then the rest.
    const unsigned int firstSix[] = {tag(0x0020, 0x3100), tag(0x6000, 0x0060), tag(0x6000, 0x0110),
                                     tag(0x6000, 0x0200), tag(0x6000, 0x4000), tag(0x5000, 0x0000)};
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(list[i]->tagWord(), firstSix[i]) << i;
    EXPECT_EQ(list[0]->mask(), 0xFF00FFFFu);
    for (std::size_t i = 1; i < list.size(); ++i)
        EXPECT_EQ(list[i]->mask(), 0xFFFFFF00u) << i;

    // The constructor stores the masked tag word.
    const WildcardDicomTag loose(tag(0x6002, 0x3000), 0xFFFFFF00u, VR::OW, "Overlay Data", "3");
    EXPECT_EQ(loose.tagWord(), tag(0x6000, 0x3000));
    EXPECT_TRUE(loose.matches(tag(0x60FF, 0x3000)));
    EXPECT_FALSE(loose.matches(tag(0x6100, 0x3000)));
    EXPECT_FALSE(loose.matches(tag(0x6000, 0x3001)));

    struct Hit
    {
        unsigned int tagWord;
        VR vr;
        const char* name;
    };
    const Hit hits[] = {
        {tag(0x6002, 0x0060), VR::LT, "Overlay Compression Code"},
        {tag(0x6001, 0x0060), VR::LT, "Overlay Compression Code"},
        {tag(0x6000, 0x0060), VR::LT, "Overlay Compression Code"},
        {tag(0x60FF, 0x4000), VR::LT, nullptr},
        {tag(0x0020, 0x31A5), VR::LT, "Source Image IDs"},
        {tag(0x5002, 0x0010), VR::US, nullptr},
        {tag(0x6010, 0x3000), VR::OW, nullptr},
    };
    for (const Hit& hit : hits)
    {
        SCOPED_TRACE(std::to_string(hit.tagWord));
        EXPECT_TRUE(dictionary.isKnownTag(hit.tagWord));
        EXPECT_EQ(dictionary.getVR(hit.tagWord), hit.vr);
        EXPECT_EQ(dictionary.tags().count(hit.tagWord), 0u);
        if (hit.name)
        {
            EXPECT_EQ(dictionary.find(hit.tagWord)->name(), hit.name);
        }
    }
    EXPECT_EQ(dictionary.getVersion(tag(0x5002, 0x0010)), "3");
    EXPECT_EQ(dictionary.getVersion(tag(0x60FF, 0x4000)), "2");
    EXPECT_FALSE(dictionary.isKnownTag(tag(0x0020, 0x3200)));
    EXPECT_FALSE(dictionary.isKnownTag(tag(0x0018, 0x1157)));
    EXPECT_FALSE(dictionary.isKnownTag(tag(0x0009, 0x0010))); // odd groups are never loaded

    // (50xx,0030) gets its SH only from the fifth step; before it (50xx,0040) is unknown.
    TestDictionary partial{TestDictionary::Unfilled{}};
    for (int step = 1; step <= 4; ++step)
        ASSERT_TRUE(partial.runStep(step));
    EXPECT_EQ(partial.find(tag(0x5000, 0x0030))->valueRepresentations(), vrs({VR::CS}));
    EXPECT_FALSE(partial.isKnownTag(tag(0x5000, 0x0040)));
    ASSERT_TRUE(partial.runStep(5));
    EXPECT_EQ(partial.find(tag(0x5006, 0x0030))->valueRepresentations(), vrs({VR::CS, VR::SH}));

    // Run alone, the fifth step still makes its entries; its first action finds nothing to extend.
    TestDictionary alone{TestDictionary::Unfilled{}};
    EXPECT_TRUE(alone.runStep(5));
    EXPECT_EQ(alone.tags().size(), 37u);
    EXPECT_EQ(alone.wildcards().size(), 46u);
}

TEST(DicomDictionary, InsertKeepsTheFirstEntryAndVRsAppendInOrder)
{
    TestDictionary dictionary{TestDictionary::Unfilled{}};
    const unsigned int key = tag(0x0010, 0x0010);
    EXPECT_TRUE(dictionary.insert(std::make_unique<DicomTag>(key, VR::PN, "Patient's Name", "3")));
    EXPECT_FALSE(dictionary.insert(std::make_unique<DicomTag>(key, VR::LO, "Replacement", "2")));
    ASSERT_EQ(dictionary.tags().size(), 1u);
    EXPECT_EQ(dictionary.find(key)->name(), "Patient's Name");
    EXPECT_EQ(dictionary.getVersion(key), "3");
    EXPECT_EQ(dictionary.find(key)->valueRepresentations(), vrs({VR::PN}));

    EXPECT_TRUE(dictionary.addValueRepresentation(key, VR::SH));
    EXPECT_TRUE(dictionary.addValueRepresentation(key, VR::PN)); // a repeat is appended again
    EXPECT_TRUE(dictionary.addValueRepresentation(key, VR::UN));
    EXPECT_EQ(dictionary.find(key)->valueRepresentations(), vrs({VR::PN, VR::SH, VR::PN, VR::UN}));
    EXPECT_FALSE(dictionary.addValueRepresentation(tag(0x0010, 0x0011), VR::SH));
    EXPECT_EQ(dictionary.tags().size(), 1u);

    // Wildcards: the first matching one in list order takes the VR, the plain map before any.
    dictionary.append(std::make_unique<WildcardDicomTag>(tag(0x6000, 0x3000), 0xFFFFFF00u, VR::OW, "A", "3"));
    dictionary.append(std::make_unique<WildcardDicomTag>(tag(0x6000, 0x0000), 0x0000FFFFu, VR::UL, "B", "3"));
    ASSERT_EQ(dictionary.wildcards().size(), 2u);
    EXPECT_EQ(dictionary.wildcards()[0]->name(), "A");
    EXPECT_TRUE(dictionary.addValueRepresentation(tag(0x6004, 0x3000), VR::OB));
    EXPECT_EQ(dictionary.wildcards()[0]->valueRepresentations(), vrs({VR::OW, VR::OB}));
    EXPECT_EQ(dictionary.wildcards()[1]->valueRepresentations(), vrs({VR::UL}));
    EXPECT_EQ(dictionary.getVR(tag(0x6000, 0x3000)), VR::OW);
    EXPECT_EQ(dictionary.getVR(tag(0x6000, 0x1234)), VR::UL);
}

TEST(DicomDictionary, LookupFailuresCarryTheirCode)
{
    TestDictionary dictionary;
    auto codeOf = [](auto&& call) {
        try
        {
            call();
        }
        catch (const DicomException& e)
        {
            return e.code();
        }
        return 0;
    };
    int count = -1;
    const unsigned int rows = tag(0x0028, 0x0010);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(rows, count, 1); }), 20008);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(rows, count, -1); }), 20008);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(tag(0x0028, 0x1201), count, 3); }), 20008);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(tag(0x0020, 0x3200)); }), 20008);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(tag(0x0020, 0x3200), count, 0); }), 20008);
    EXPECT_EQ(codeOf([&] { dictionary.getVR(rows, count, 0); }), 0);
    EXPECT_EQ(dictionary.getVersion(tag(0x0020, 0x3200)), "");
    try
    {
        dictionary.getVR(tag(0x0021, 0x1010));
        ADD_FAILURE();
    }
    catch (const std::runtime_error& e) // a DicomException is a runtime_error naming the tag
    {
        EXPECT_NE(std::string(e.what()).find("(0021,1010)"), std::string::npos) << e.what();
    }
}

// Run in a fresh process (threadsafe death-test style re-executes the program), so that the
// process-wide dictionary is certainly not built yet when the test begins.
TEST(DicomDictionaryDeathTest, GetInstanceRetriesAfterAFailedBuild)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TestDictionary::failingStepForTests = 3;
            int code = 0;
            try
            {
                DicomDictionary::getInstance();
            }
            catch (const DicomException& e)
            {
                code = e.code();
            }
            TestDictionary::failingStepForTests = 0;
            if (code != 20009)
                std::_Exit(1);
            DicomDictionary& dictionary = DicomDictionary::getInstance();
            if (dictionary.tags().size() != 1533 || dictionary.wildcards().size() != 57)
                std::_Exit(2);
            if (&dictionary != &DicomDictionary::getInstance())
                std::_Exit(3);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");

    // And a step that fails on a private dictionary leaves nothing behind.
    TestDictionary::failingStepForTests = 5;
    try
    {
        TestDictionary dictionary;
        ADD_FAILURE() << "construction should have failed";
    }
    catch (const DicomException& e)
    {
        EXPECT_EQ(e.code(), 20009);
    }
    TestDictionary::failingStepForTests = 0;
}

TEST(DicomDictionary, ValueRepresentationNames)
{
    for (int i = 0; i < valueRepresentationCount; ++i)
    {
        const auto vr = static_cast<VR>(i);
        VR parsed = VR::UN;
        ASSERT_TRUE(parseValueRepresentation(valueRepresentationName(vr), parsed));
        EXPECT_EQ(parsed, vr);
    }
    VR parsed = VR::UN;
    EXPECT_FALSE(parseValueRepresentation("OF", parsed));
    EXPECT_EQ(parsed, VR::CS);
    EXPECT_FALSE(parseValueRepresentation("cs", parsed));
    EXPECT_EQ(valueRepresentationName(static_cast<VR>(26)), "");
    EXPECT_EQ(valueRepresentationName(VR::UN), "UN");
    EXPECT_EQ(static_cast<int>(VR::UT), 24);
}
