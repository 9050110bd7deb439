// Imports every file of one folder as a series and prints the voxel histogram the import counted
// on the way, so that the counts of two builds can be compared bin for bin:
//   dicom_series_histogram <folder>
// One line per value that occurs ("value count"), then a line with a hash of the voxels and
// whether the histogram equals a plain count of the volume.
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    try {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
        Vexa::DicomIOManager manager;
        manager.insertImporter(new Vexa::UniversalImporter);
        manager.insertImporter(new Vexa::DVT9000Importer);
        manager.setFiles(files);
        manager.start();
        const auto data = std::dynamic_pointer_cast<Vexa::DicomVolume>(manager.getData());
        const auto& volume = *data->getVolumeData();
        const auto histogram = data->getVoxelHistogram();
        if (!histogram) {
            std::fprintf(stderr, "the import counted no histogram\n");
            return 1;
        }
        std::vector<std::uint64_t> plain(65536, 0);
        std::uint64_t hash = 1469598103934665603ull; // FNV-1a over the voxels
        for (std::size_t i = 0; i < volume.getVoxelCount(); ++i) {
            const unsigned short v = volume.getVoxels()[i];
            ++plain[v];
            hash = (hash ^ v) * 1099511628211ull;
        }
        const auto& counts = histogram->counts();
        for (std::size_t v = 0; v < counts.size(); ++v)
            if (counts[v])
                std::printf("%zu %llu\n", v, static_cast<unsigned long long>(counts[v]));
        std::printf("voxels %ux%ux%u hash %016llx plain count %s\n", volume.getDimX(), volume.getDimY(),
                    volume.getDimZ(), static_cast<unsigned long long>(hash), counts == plain ? "equal" : "DIFFERS");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "import failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
