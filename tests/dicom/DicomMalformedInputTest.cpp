// Damaged slices, in memory and as files of a series: each one is refused with a DicomException
// that says what is wrong, and nothing is allocated from a length the file declares.
#include "DicomBytes.h"
#include "DicomTestSupport.h"
#include "common/TestSupport.h"

#include "dicom/core/DicomException.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomSlice.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <new>

using namespace Vexa;
using DicomTestSupport::Bytes;

// The largest single allocation while a case runs: a length taken from the file and allocated
// before it was checked shows up here.
namespace {
std::atomic<bool> tracking{false};
std::atomic<std::size_t> largest{0};

void* trackedAllocation(std::size_t size) noexcept
{
    if (tracking) {
        std::size_t seen = largest;
        while (size > seen && !largest.compare_exchange_weak(seen, size)) {
        }
    }
    return std::malloc(size ? size : 1);
}

void* throwingAllocation(std::size_t size)
{
    if (void* p = trackedAllocation(size))
        return p;
    throw std::bad_alloc();
}
}

// Every non-aligned form, so that each allocation is freed by its own family.
void* operator new(std::size_t size) { return throwingAllocation(size); }
void* operator new[](std::size_t size) { return throwingAllocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return trackedAllocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return trackedAllocation(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

constexpr unsigned side = 64; // 64 x 64 16-bit pixels: 8 KiB of pixel data

struct Damage
{
    uint16_t rows = side, columns = side;
    uint32_t pixelLength = side * side * 2; // declared length of the pixel data
    std::size_t pixelBytes = side * side * 2; // bytes actually written
    uint32_t commentLength = 0;              // declared length of a comment before the pixels (0: none)
    bool openSequence = false;               // an undefined-length sequence that never ends
    std::string slope = "1", intercept = "-1024";
    std::size_t padding = 0; // bytes of a private value before the pixels (a longer header)
};

std::vector<uint8_t> slice(const Damage& d)
{
    Bytes b = Bytes::file("1.2.840.10008.1.2.1");
    b.element(0x0008, 0x0060, "CS", "CT")
        .element(0x0018, 0x0050, "DS", "1.0 ")
        .element(0x0020, 0x0032, "DS", "0\\0\\0 ")
        .element(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0 ");
    if (d.openSequence)
        b.tag(0x0008, 0x1140).raw("SQ").u16(0).u32(0xFFFFFFFF).item().element(0x0008, 0x1150, "UI", "12");
    b.element(0x0028, 0x0002, "US", std::string("\x01\x00", 2))
        .element(0x0028, 0x0004, "CS", "MONOCHROME2 ");
    b.element(0x0028, 0x0010, "US", Bytes().u16(d.rows).text())
        .element(0x0028, 0x0011, "US", Bytes().u16(d.columns).text())
        .element(0x0028, 0x0030, "DS", "0.5\\0.5 ")
        .element(0x0028, 0x0100, "US", std::string("\x10\x00", 2))
        .element(0x0028, 0x0101, "US", std::string("\x0c\x00", 2))
        .element(0x0028, 0x0102, "US", std::string("\x0b\x00", 2))
        .element(0x0028, 0x0103, "US", std::string("\x00\x00", 2))
        .element(0x0028, 0x1052, "DS", d.intercept.size() % 2 ? d.intercept + " " : d.intercept)
        .element(0x0028, 0x1053, "DS", d.slope.size() % 2 ? d.slope + " " : d.slope);
    if (d.commentLength)
        b.tag(0x0020, 0x4000).raw("LT").u16(uint16_t(d.commentLength)).raw("short");
    if (d.padding)
        b.element(0x0029, 0x0010, "LO", "VEXA TEST ").element(0x0029, 0x1010, "OB", std::string(d.padding, 'x'));
    b.tag(0x7FE0, 0x0010).raw("OW").u16(0).u32(d.pixelLength);
    for (std::size_t i = 0; i < d.pixelBytes; ++i)
        b.data.push_back(uint8_t(i * 7));
    return b.data;
}

struct Outcome
{
    int code = 0;
    std::string text;
    std::size_t largestAllocation = 0;
};

// Runs one case: its failure and its largest allocation.
template<class Call>
Outcome track(Call&& call)
{
    Outcome outcome;
    ExceptionStack::getInstance()->clear();
    largest = 0;
    tracking = true;
    outcome.code = DicomTestSupport::errorOf(call, &outcome.text);
    tracking = false;
    outcome.largestAllocation = largest;
    return outcome;
}

// Reads and decodes one slice held in memory, as the fuzz target and the import do.
Outcome decodeInMemory(const std::vector<uint8_t>& data)
{
    static UniversalImporter importer;
    bool outOfRange = false;
    Outcome outcome = track([&] {
        DicomSlice s;
        s.readHeader(importer, data.data(), data.size(), data.size(), "damaged.dcm");
        std::vector<uint16_t> voxels(std::size_t(s.rows) * s.columns);
        s.decode(data.data() + s.pixelOffset, voxels.data(), 1, s.columns);
        outOfRange = std::any_of(voxels.begin(), voxels.end(), [](uint16_t voxel) { return voxel > 4095; });
    });
    if (outOfRange)
        outcome.code = -1;
    return outcome;
}

// Imports the data written as a file, a series of one slice, through the manager as the
// application does.
Outcome importAsFile(const std::vector<uint8_t>& data, const TestSupport::ScratchDir& scratch)
{
    const std::string path = scratch.file("damaged.dcm");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    manager.setFiles({path});
    const Outcome outcome = track([&] { manager.start(); });
    EXPECT_EQ(manager.getData() == nullptr, outcome.code != 0);
    return outcome;
}

}

TEST(DicomMalformedInput, DamagedSlicesFailWithTheirReasonAndAllocateNoDeclaredLength)
{
    TestSupport::ScratchDir scratch;
    // The sound slice reads and imports, which makes the damages below the only cause of failure.
    ASSERT_EQ(decodeInMemory(slice({})).code, 0) << decodeInMemory(slice({})).text;
    ASSERT_EQ(importAsFile(slice({}), scratch).code, 0) << importAsFile(slice({}), scratch).text;

    struct Case
    {
        const char* name;
        Damage damage;
        int code;
        const char* text;
    } cases[] = {
        {"comment length past the end", {.commentLength = 60000}, DicomTruncated, "(0020,4000) (60000 bytes) runs past the end"},
        {"pixel length past the end", {.pixelLength = side * side * 2 + 2}, DicomTruncated,
         "it holds 8550 of the 8552 bytes its image needs"},
        {"huge pixel length", {.pixelLength = 0xFFFFFFF0u}, DicomTruncated, "it holds 8550 of the 4294967638 bytes its image needs"},
        {"huge image on little data", {.rows = 65535, .columns = 65535}, DicomTruncated,
         "pixel data holds 8192 bytes, the image of 65535x65535 pixels needs 8589672450"},
        {"unterminated sequence", {.openSequence = true}, DicomTruncated, "item without delimiter"},
        {"zero rows", {.rows = 0}, DicomUnsupportedImage, "image of 64x0 pixels (rows and columns must not be 0)"},
        {"zero columns", {.columns = 0}, DicomUnsupportedImage, "image of 0x64 pixels (rows and columns must not be 0)"},
        {"short pixel data", {.pixelLength = 1000, .pixelBytes = 1000}, DicomTruncated,
         "pixel data holds 1000 bytes, the image of 64x64 pixels needs 8192"},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> data = slice(c.damage);
        for (bool asFile : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (asFile ? " (file)" : " (memory)"));
            const Outcome outcome = asFile ? importAsFile(data, scratch) : decodeInMemory(data);
            EXPECT_EQ(outcome.code, c.code) << outcome.text;
            EXPECT_NE(outcome.text.find(c.text), std::string::npos) << outcome.text;
            EXPECT_NE(outcome.text.find("damaged.dcm"), std::string::npos) << outcome.text;
            EXPECT_LE(outcome.largestAllocation, data.size());
        }
    }

    // Rescale values at the edge of what a number can hold: still voxels in 0..4095.
    EXPECT_EQ(decodeInMemory(slice({.slope = "1e308", .intercept = "-1e308"})).code, 0);
    EXPECT_EQ(decodeInMemory(slice({.slope = "-1e308", .intercept = "1e308"})).code, 0);

    // Cut anywhere: in the preamble, the meta header, the data set or the pixel data.
    const std::vector<uint8_t> whole = slice({});
    for (std::size_t size = 0; size < whole.size(); size += size < 600 ? 1 : 509) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + std::ptrdiff_t(size));
        SCOPED_TRACE("cut at " + std::to_string(size));
        auto expectRefused = [](const Outcome& outcome) {
            EXPECT_TRUE(outcome.code == DicomTruncated || outcome.code == DicomException::NoImporter ||
                        outcome.code == DicomMissingTag)
                << outcome.code << " " << outcome.text;
            EXPECT_FALSE(outcome.text.empty());
        };
        expectRefused(decodeInMemory(cut));
        if (size % 97 == 0 || size > 600) {
            const Outcome file = importAsFile(cut, scratch);
            expectRefused(file);
            EXPECT_LE(file.largestAllocation, std::max<std::size_t>(cut.size(), 4096));
        }
    }
}

// The header read of the import list tells a slice cut in its pixel data by the file's size, also
// behind a header longer than the beginning it reads first; a whole slice tells nothing.
TEST(DicomMalformedInput, TheHeaderReadTellsPixelDataCutShort)
{
    TestSupport::ScratchDir scratch;
    const UniversalImporter importer;
    const std::string path = scratch.file("cut.dcm");
    for (const std::size_t padding : {std::size_t(0), std::size_t(70000)}) {
        const std::vector<uint8_t> whole = slice({.padding = padding});
        const std::size_t pixels = whole.size() - side * side * 2; // where the pixel values begin
        for (const std::size_t size : {whole.size(), whole.size() - 1, pixels, pixels - 4}) {
            SCOPED_TRACE(std::to_string(padding) + " bytes of padding, cut at " + std::to_string(size));
            std::ofstream(path, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(whole.data()), std::streamsize(size));
            const std::string told = "the file is cut short: it holds " + std::to_string(size) +
                                     (size < pixels ? " bytes and ends before its image"
                                                    : " of the " + std::to_string(whole.size()) + " bytes its image needs");
            EXPECT_EQ(importer.readInformation(path)->damage(), size == whole.size() ? "" : told);
        }
    }
}
