#pragma once
// One slice of a series as the import needs it: the facts of its header and where its pixel data
// lie in its file, so that the pixels can be decoded later straight into their place in a volume.
#include "vexa/volume/VoxelHistogram.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vexa {

class UniversalImporter;

class DicomSlice
{
public:
    std::string file;
    std::map<uint32_t, std::string> values; // the header texts (meta header included)
    int device = 0;
    unsigned rows = 0, columns = 0;
    unsigned bitsAllocated = 0, bitsStored = 0, highBit = 0, pixelRepresentation = 0;
    std::string modality, photometric;
    bool hasSpacing = false, hasPosition = false, hasOrientation = false, hasInstance = false;
    std::array<double, 2> spacing{}; // between rows, between columns
    std::array<double, 3> position{};
    std::array<double, 6> orientation{};
    double slope = 1.0, intercept = 0.0;
    long instance = 0;
    bool bigEndian = false;
    std::size_t pixelOffset = 0; // first byte of the pixel data in the file

    // Reads the header from the first size bytes of a file of fileSize bytes and checks that the
    // file holds one uncompressed grey-scale image and all of its pixel data. DicomException on
    // any fault; code 20100 (truncated) with size < fileSize may only mean that the header runs
    // past the bytes given, and a longer beginning of the file is needed.
    void readHeader(const UniversalImporter& importer, const uint8_t* data, std::size_t size, std::size_t fileSize,
                    const std::string& file);
    // DicomException 20107 when this slice cannot share a volume with the reference.
    void checkMatches(const DicomSlice& reference) const;

    // The pixel and slice spacings (mm) an import accepts. The finest dental CBCT voxels are
    // about 0.075 mm, laboratory micro-CT of teeth reaches a few micrometres; the coarsest CT
    // slices are some 10 mm apart (thick reconstructions 20 mm). Both bounds lie well beyond
    // that, and values outside them come only from broken headers, which would give a volume
    // whose surface, camera and measurements make no sense (down to infinities and NaN).
    static constexpr double minimumSpacing = 0.001;
    static constexpr double maximumSpacing = 50.0;
    static bool isPlausibleSpacing(double millimetres)
    {
        return millimetres >= minimumSpacing && millimetres <= maximumSpacing;
    }
    // DicomException 20115 "<where>: <what> of <value> mm is outside the range ..." for a spacing
    // outside those bounds.
    static void checkSpacing(double millimetres, const std::string& where, const std::string& what);

    // Bytes of pixel data the image uses (rows x columns x bytes per pixel).
    std::size_t pixelBytes() const { return std::size_t(rows) * columns * (bitsAllocated / 8); }
    // The stored-word-to-voxel table of the last slice decoded with it; slices of one series
    // usually share it, so it is built once per thread instead of once per slice.
    struct DecodeTable
    {
        std::vector<uint16_t> voxels;
        std::array<double, 7> format{};
    };

    // The largest voxel value this slice's format can give (at most 4095): counts of the
    // decoded voxels need no more entries than one above it.
    uint16_t maxVoxel() const;

    // Converts pixelBytes() bytes of pixel data into 12-bit voxels: column i of row j goes to
    // destination[i * columnStep + j * rowStep]. Masks to the stored bits, applies sign, rescale
    // and, for CT, the +1000 offset, and clamps to 0..4095. With counts (for at least
    // maxVoxel() + 1 values), also counts the voxels, each row while it is still in the cache:
    // the import needs the histogram of the whole volume for its grey-value window.
    void decode(const uint8_t* pixels, uint16_t* destination, std::ptrdiff_t columnStep, std::ptrdiff_t rowStep,
                DecodeTable* table = nullptr, VoxelHistogram::Counter* counts = nullptr) const;

    // The values of a numeric tag; empty when it is absent or empty, else exactly count numbers
    // (DicomException 20104 otherwise).
    std::vector<double> numbers(uint32_t tagWord, std::size_t count) const;
    std::string text(uint32_t tagWord) const;

private:
    long integer(uint32_t tagWord, bool required, long fallback) const;
    [[noreturn]] void fail(int code, const std::string& what) const;
};

}
