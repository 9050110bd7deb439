#pragma once
// An imported volume with its header information and its source files in slice order (first
// file = slice 0), so that a planning can keep copies of exactly the files it was made from.
#include "dicom/import/DicomData.h"
#include "vexa/volume/VolumeData.h"
#include "vexa/volume/VoxelHistogram.h"

#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class DicomVolume : public DicomData
{
public:
    DicomVolume(std::shared_ptr<DicomInformation> information, std::shared_ptr<VolumeData<unsigned short>> volume,
                std::vector<std::string> sourceFiles, std::shared_ptr<const VoxelHistogram> histogram = nullptr);

    std::shared_ptr<VolumeData<unsigned short>> getVolumeData() const { return volume_; }
    const std::vector<std::string>& getSourceFiles() const { return sourceFiles_; }
    // The histogram of the voxels as the import decoded them (counted on the way, so that the
    // grey-value window needs no pass of its own); empty when the producer did not count.
    std::shared_ptr<const VoxelHistogram> getVoxelHistogram() const { return histogram_; }

private:
    std::shared_ptr<VolumeData<unsigned short>> volume_;
    std::vector<std::string> sourceFiles_;
    std::shared_ptr<const VoxelHistogram> histogram_;
};

}
