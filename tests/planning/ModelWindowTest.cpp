// The grey-value window from a volume large enough to be counted on several threads, and from
// the histogram an import counted on the way.
#include "ModelTestSupport.h"

#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/volume/VoxelHistogram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace PlanningTest;

TEST(ModelWindow, CountedOnAllCoresOrTakenFromTheImport)
{
    // 9 million voxels of mostly air and tissue, some bone and a few values beyond 12 bits.
    auto volume = std::make_shared<Volume>(256, 256, 140, 0.3, 0.3, 0.3);
    std::mt19937 random(5);
    unsigned short* voxels = volume->getVoxels();
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i) {
        const unsigned r = random();
        voxels[i] = r % 4 ? (r % 7 ? 0 : 1000 + r % 300) : (r % 1000 ? 1500 + r % 1500 : 60000 + r % 5000);
    }
    // The window as the plain definition has it: low at the mean, high where the brightest
    // thousandth begins.
    std::vector<uint64_t> histogram(65536, 0);
    double sum = 0.0;
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i) {
        ++histogram[voxels[i]];
        sum += voxels[i];
    }
    const int low = int(std::lround(sum / double(volume->getVoxelCount())));
    int high = 0;
    for (uint64_t seen = 0; seen < volume->getVoxelCount() - volume->getVoxelCount() / 1000;)
        seen += histogram[high++];
    --high;

    Model model(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
    auto data = makeData(volume);
    model.setData(data);
    EXPECT_EQ(model.getMinVoxelValue(), low);
    EXPECT_EQ(model.getMaxVoxelValue(), high);
    EXPECT_EQ(model.getMidVoxelValue(), (low + high) / 2);
    EXPECT_EQ(Vexa::VoxelHistogram(*volume).counts(), histogram);

    // A histogram from the import is taken as it is (this one puts every voxel at 100)...
    std::vector<uint64_t> flat(65536, 0);
    flat[100] = volume->getVoxelCount();
    auto counted = std::make_shared<Vexa::DicomVolume>(data->getInformation(), volume, data->getSourceFiles(),
                                                       std::make_shared<Vexa::VoxelHistogram>(flat));
    model.setData(counted);
    EXPECT_EQ(model.getMinVoxelValue(), 100);
    EXPECT_EQ(model.getMaxVoxelValue(), 100);
    // ...but one that counts other voxels is not.
    flat[100] = 7;
    model.setData(std::make_shared<Vexa::DicomVolume>(data->getInformation(), volume, data->getSourceFiles(),
                                                      std::make_shared<Vexa::VoxelHistogram>(flat)));
    EXPECT_EQ(model.getMinVoxelValue(), low);
    EXPECT_EQ(model.getMaxVoxelValue(), high);
}
