#include "dicom/import/DicomVolume.h"

namespace Vexa {

DicomVolume::DicomVolume(std::shared_ptr<DicomInformation> information,
                         std::shared_ptr<VolumeData<unsigned short>> volume, std::vector<std::string> sourceFiles,
                         std::shared_ptr<const VoxelHistogram> histogram)
    : DicomData(std::move(information))
    , volume_(std::move(volume))
    , sourceFiles_(std::move(sourceFiles))
    , histogram_(std::move(histogram))
{
}

}
