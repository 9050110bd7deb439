// Decoding stored words into voxels: the fast path for linear slices gives what the general
// conversion gives, and the counts made on the way are the histogram of what was written.
#include "dicom/import/DicomInformation.h"
#include "dicom/import/DicomSlice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

using Vexa::DicomSlice;

TEST(DicomSliceDecode, LinearSlicesDecodeAsTheGeneralConversionAndAreCounted)
{
    struct Format
    {
        unsigned bitsStored, highBit, representation;
        double slope, intercept;
        int device;
    };
    const Format formats[] = {
        {12, 11, 0, 1.0, -1024.0, Vexa::DicomInformation::CT}, // the usual CT
        {16, 15, 1, 1.0, -1024.0, Vexa::DicomInformation::CT}, // signed, all bits
        {16, 15, 0, 1.0, 0.0, 0},                              // unsigned beyond 4095
        {12, 13, 1, 1.0, 3000.0, 0},                           // shifted signed bits
        {10, 9, 0, 1.0, -40000.0, Vexa::DicomInformation::CT}, // everything below 0
        {16, 15, 1, 1.0, 40000.0, 0},                          // beyond the fast path's range
        {12, 11, 0, 2.0, -1024.0, Vexa::DicomInformation::CT}, // not linear: the table
        {12, 11, 0, 1.0, -1024.5, Vexa::DicomInformation::CT}, // half values round
    };
    // 13 columns: rows that end in a partial group of eight.
    const unsigned rows = 11, columns = 13;
    std::mt19937 random(7);
    std::vector<uint8_t> words(2 * rows * columns);
    for (uint8_t& byte : words)
        byte = uint8_t(random());
    for (const Format& f : formats) {
        DicomSlice slice;
        slice.rows = rows;
        slice.columns = columns;
        slice.bitsAllocated = 16;
        slice.bitsStored = f.bitsStored;
        slice.highBit = f.highBit;
        slice.pixelRepresentation = f.representation;
        slice.slope = f.slope;
        slice.intercept = f.intercept;
        slice.device = f.device;
        // Row by row (the fast path where it applies) and transposed (always the general one).
        std::vector<uint16_t> rowwise(rows * columns), transposed(rows * columns);
        DicomSlice::VoxelCounts counts;
        slice.decode(words.data(), rowwise.data(), 1, columns, nullptr, &counts);
        slice.decode(words.data(), transposed.data(), rows, 1);
        std::vector<uint64_t> expected(DicomSlice::VoxelCounts::values, 0), counted(expected.size(), 0);
        for (unsigned j = 0; j < rows; ++j)
            for (unsigned i = 0; i < columns; ++i) {
                const uint16_t voxel = rowwise[j * columns + i];
                ASSERT_EQ(voxel, transposed[i * rows + j]) << f.bitsStored << " bits, intercept " << f.intercept;
                ASSERT_LE(voxel, 4095);
                ++expected[voxel];
            }
        counts.addTo(counted);
        EXPECT_EQ(counted, expected) << f.bitsStored << " bits, intercept " << f.intercept;
    }
}
