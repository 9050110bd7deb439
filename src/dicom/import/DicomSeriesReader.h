#pragma once
// Turns the files of one series into a volume: reads the headers of all files (on all cores when
// there are enough files), checks that the files form one regular stack of slices, sorts them
// along the slice normal, and only then reads the pixel data of each file and decodes it straight
// into its place in a volume whose x, y and z run to patient left, posterior and head. No byte of
// a file is read twice, and the memory needed beyond the volume is a slice buffer per thread.
// Voxels hold 12-bit values: CT as HU + 1000, other devices as stored; both clamped.
#include "dicom/import/DicomVolume.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class UniversalImporter;

class DicomSeriesReader
{
public:
    // 2^31 voxels (4 GiB); larger volumes are refused before anything is allocated.
    static constexpr std::size_t maxVoxels = std::size_t(1) << 31;

    // importer reads the headers and names the device; cancelled is polled once per slice;
    // progress rises from 0 to 1.
    DicomSeriesReader(const UniversalImporter& importer, const std::atomic<bool>& cancelled,
                      std::atomic<double>& progress);

    // DicomException when the files are no importable series (nothing is returned then).
    std::shared_ptr<DicomVolume> read(const std::vector<std::string>& files);

    // Threads used for n files: all cores, but none beyond the calling one for few files.
    static unsigned threadCount(std::size_t files);

private:
    std::string unreadableBetween(const std::string& before, const std::string& after,
                                  const std::vector<std::string>& series) const;

    const UniversalImporter& importer_;
    const std::atomic<bool>& cancelled_;
    std::atomic<double>& progress_;
};

}
