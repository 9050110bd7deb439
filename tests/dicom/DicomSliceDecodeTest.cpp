// Decoding stored words into voxels: the fast path for linear slices gives what the general
// conversion gives, every voxel stays within the slice's largest voxel (the width of the counts),
// and the counts made on the way are the histogram of what was written, rows along x or not.
#include "dicom/import/DicomInformation.h"
#include "dicom/import/DicomSlice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

using Vexa::DicomSlice;

TEST(DicomSliceDecode, EveryFormatDecodesAsTheGeneralConversionAndIsCounted)
{
    struct Format
    {
        unsigned bitsAllocated, bitsStored, highBit, representation;
        double slope, intercept;
        int device;
        bool bigEndian;
    };
    constexpr int CT = Vexa::DicomInformation::CT;
    const Format formats[] = {
        {16, 12, 11, 0, 1.0, -1024.0, CT, false}, // the usual CT
        {16, 16, 15, 1, 1.0, -1024.0, CT, false}, // signed, all bits
        {16, 16, 15, 0, 1.0, 0.0, 0, false},      // unsigned beyond 4095
        {16, 12, 13, 1, 1.0, 3000.0, 0, false},   // shifted signed bits
        {16, 10, 9, 0, 1.0, -40000.0, CT, false}, // everything below 0
        {16, 16, 15, 1, 1.0, 40000.0, 0, false},  // beyond the fast path's range
        {16, 12, 11, 0, 2.0, -1024.0, CT, false}, // not linear: the table
        {16, 12, 11, 0, 1.0, -1024.5, CT, false}, // half values round
        {16, 12, 11, 0, -1.0, 3000.0, 0, false},  // falling: the largest voxel from the smallest word
        {16, 12, 11, 0, 1.0, -1024.0, CT, true},  // big endian
        {16, 13, 12, 1, 0.5, 10.0, 0, true},      // big endian, signed, rescaled
        {8, 8, 7, 0, 1.0, 0.0, 0, false},         // 8 bits: at most 255
        {8, 6, 6, 1, 3.0, 100.0, CT, false},      // 8 bits, signed, shifted, rescaled
    };
    // 13 columns: rows that end in a partial group of eight.
    const unsigned rows = 11, columns = 13;
    std::mt19937 random(7);
    std::vector<uint8_t> bytes(2 * rows * columns);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    for (const Format& f : formats) {
        SCOPED_TRACE(testing::Message() << f.bitsAllocated << "/" << f.bitsStored << " bits, signed "
                                        << f.representation << ", slope " << f.slope << ", intercept " << f.intercept
                                        << (f.bigEndian ? ", big endian" : ""));
        DicomSlice slice;
        slice.rows = rows;
        slice.columns = columns;
        slice.bitsAllocated = f.bitsAllocated;
        slice.bitsStored = f.bitsStored;
        slice.highBit = f.highBit;
        slice.pixelRepresentation = f.representation;
        slice.slope = f.slope;
        slice.intercept = f.intercept;
        slice.device = f.device;
        slice.bigEndian = f.bigEndian;
        // The first two pixels hold the lowest and the highest stored value.
        std::vector<uint8_t> pixels = bytes;
        const unsigned shift = f.highBit + 1 - f.bitsStored;
        const uint32_t half = uint32_t(1) << (f.bitsStored - 1);
        const uint32_t extremes[2] = {(f.representation ? half : 0) << shift,
                                      (f.representation ? half - 1 : 2 * half - 1) << shift};
        for (int p = 0; p < 2; ++p) {
            if (f.bitsAllocated == 8) {
                pixels[p] = uint8_t(extremes[p]);
            } else {
                pixels[2 * p + (f.bigEndian ? 1 : 0)] = uint8_t(extremes[p]);
                pixels[2 * p + (f.bigEndian ? 0 : 1)] = uint8_t(extremes[p] >> 8);
            }
        }
        // Row by row (the fast path where it applies) and transposed (always the general one).
        const std::size_t width = std::size_t(slice.maxVoxel()) + 1;
        std::vector<uint16_t> rowwise(rows * columns), transposed(rows * columns);
        slice.decode(pixels.data(), rowwise.data(), 1, columns);
        slice.decode(pixels.data(), transposed.data(), rows, 1);
        std::vector<uint64_t> expected(width, 0);
        for (unsigned j = 0; j < rows; ++j)
            for (unsigned i = 0; i < columns; ++i) {
                const uint16_t voxel = rowwise[j * columns + i];
                ASSERT_EQ(voxel, transposed[i * rows + j]);
                ASSERT_LT(voxel, width); // else counting would write beyond the counts
                ++expected[voxel];
            }
        EXPECT_EQ(std::max(rowwise[0], rowwise[1]), slice.maxVoxel());
        // Counted on the way, either way.
        Vexa::VoxelHistogram::Counter rowCounts(width), transposedCounts(width);
        slice.decode(pixels.data(), rowwise.data(), 1, columns, nullptr, &rowCounts);
        slice.decode(pixels.data(), transposed.data(), rows, 1, nullptr, &transposedCounts);
        std::vector<uint64_t> counted(width, 0), countedTransposed(width, 0);
        rowCounts.drainInto(counted);
        transposedCounts.drainInto(countedTransposed);
        EXPECT_EQ(counted, expected);
        EXPECT_EQ(countedTransposed, expected);
    }
}
