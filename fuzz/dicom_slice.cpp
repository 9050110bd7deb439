// Any bytes given to the slice decoder of the series import must end in a decoded image or a
// DicomException: no crash, no read outside the input, no allocation beyond what the input's
// own pixel data can fill.
#include "dicom/core/DicomException.h"
#include "dicom/import/DicomSlice.h"
#include "dicom/import/UniversalImporter.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Vexa::UniversalImporter importer;
    Vexa::DicomSlice slice;
    try {
        slice.readHeader(importer, data, size, size, "fuzz input");
    } catch (const Vexa::DicomException&) {
        return 0;
    }
    // The header has vouched for the pixel data: they lie inside the input.
    if (slice.pixelOffset > size || slice.pixelBytes() > size - slice.pixelOffset)
        std::abort();
    std::vector<uint16_t> voxels(std::size_t(slice.rows) * slice.columns);
    Vexa::DicomSlice::DecodeTable table;
    // Row by row as stored, then mirrored along both axes as the import does for flipped slices.
    slice.decode(data + slice.pixelOffset, voxels.data(), 1, slice.columns, &table);
    slice.decode(data + slice.pixelOffset, voxels.data() + voxels.size() - 1, -1, -std::ptrdiff_t(slice.columns), &table);
    for (uint16_t voxel : voxels)
        if (voxel > 4095)
            std::abort();
    return 0;
}
