#pragma once
// One slice of a series as the import needs it: the facts of its header and where its pixel data
// lie in its file, so that the pixels can be decoded later straight into their place in a volume.
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

    // Bytes of pixel data the image uses (rows x columns x bytes per pixel).
    std::size_t pixelBytes() const { return std::size_t(rows) * columns * (bitsAllocated / 8); }
    // The stored-word-to-voxel table of the last slice decoded with it; slices of one series
    // usually share it, so it is built once per thread instead of once per slice.
    struct DecodeTable
    {
        std::vector<uint16_t> voxels;
        std::array<double, 7> format{};
    };

    // Running counts of the voxel values a thread decodes: the import needs the histogram of the
    // whole volume for its grey-value window, and counting each row while it is still in the
    // cache spares a pass over the volume. Four tables taken in turn, so that runs of one value
    // do not make each increment wait for the last; 32 bits hold the count of any importable volume.
    struct VoxelCounts
    {
        static constexpr std::size_t values = 4096;
        std::vector<uint32_t> tables = std::vector<uint32_t>(4 * values, 0);

        void add(const uint16_t* row, std::size_t n, std::ptrdiff_t step);
        // Adds the counts into histogram (at least `values` entries).
        void addTo(std::vector<uint64_t>& histogram) const;
    };

    // Converts pixelBytes() bytes of pixel data into 12-bit voxels: column i of row j goes to
    // destination[i * columnStep + j * rowStep]. Masks to the stored bits, applies sign, rescale
    // and, for CT, the +1000 offset, and clamps to 0..4095. With counts, also counts the voxels.
    void decode(const uint8_t* pixels, uint16_t* destination, std::ptrdiff_t columnStep, std::ptrdiff_t rowStep,
                DecodeTable* table = nullptr, VoxelCounts* counts = nullptr) const;

    // The values of a numeric tag; empty when it is absent or empty, else exactly count numbers
    // (DicomException 20104 otherwise).
    std::vector<double> numbers(uint32_t tagWord, std::size_t count) const;
    std::string text(uint32_t tagWord) const;

private:
    long integer(uint32_t tagWord, bool required, long fallback) const;
    [[noreturn]] void fail(int code, const std::string& what) const;
};

}
