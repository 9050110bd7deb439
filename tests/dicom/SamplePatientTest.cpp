// The sample patient that the build writes imports as a CT volume with its marker balls in place.
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <gtest/gtest.h>

using namespace Vexa;

TEST(SamplePatient, ImportsWithMarkersWhereTheGeneratorPutThem)
{
    const std::string folder = std::string(MORVANTA_BINARY_DIR) + "/app/SamplePatient";
    QFile markersFile(QString(MORVANTA_BINARY_DIR) + "/tools/sample_patient_markers.json");
    ASSERT_TRUE(markersFile.open(QIODevice::ReadOnly)) << "the build writes the sample patient";
    const QJsonObject markers = QJsonDocument::fromJson(markersFile.readAll()).object();

    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path().string());
    ASSERT_EQ(files.size(), 160u);
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    manager.setFiles(files);
    ASSERT_TRUE(manager.start());
    auto data = std::dynamic_pointer_cast<DicomVolume>(manager.getData());
    ASSERT_NE(data, nullptr);
    auto information = data->getInformation();
    EXPECT_EQ(information->getImageDeviceName(), "CT");
    EXPECT_EQ(information->getValue(0x00100010).first, "Sample^Patient");
    EXPECT_EQ(information->getValue(0x00300010).first, "19650412");
    auto volume = data->getVolumeData();
    ASSERT_EQ(volume->getDimX(), 256u);
    ASSERT_EQ(volume->getDimY(), 256u);
    ASSERT_EQ(volume->getDimZ(), 160u);
    EXPECT_NEAR(volume->getSpacingX(), 0.35, 1e-9);
    EXPECT_NEAR(volume->getSpacingZ(), 0.35, 1e-6);

    // Each ball: the centroid of its bright voxels near the expected centre.
    const double s = 0.35;
    const QJsonArray centres = markers.value("volume").toArray();
    ASSERT_EQ(centres.size(), 6);
    std::size_t brightNearBalls = 0;
    for (const QJsonValue& value : centres) {
        const QJsonArray c = value.toArray();
        double sum[3] = {0, 0, 0};
        std::size_t count = 0;
        const int ci = int(c[0].toDouble() / s), cj = int(c[1].toDouble() / s), ck = int(c[2].toDouble() / s);
        for (int k = ck - 8; k <= ck + 8; ++k)
            for (int j = cj - 8; j <= cj + 8; ++j)
                for (int i = ci - 8; i <= ci + 8; ++i)
                    if (volume->at(unsigned(i), unsigned(j), unsigned(k)) >= 3800) {
                        sum[0] += (i + 0.5) * s;
                        sum[1] += (j + 0.5) * s;
                        sum[2] += (k + 0.5) * s;
                        ++count;
                    }
        ASSERT_GT(count, 200u);
        brightNearBalls += count;
        for (int a = 0; a < 3; ++a)
            EXPECT_NEAR(sum[a] / double(count), c[a].toDouble(), 0.1);
    }
    // Nothing else in the volume is as bright as the balls.
    std::size_t bright = 0;
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i)
        bright += volume->getVoxels()[i] >= 3800;
    EXPECT_EQ(bright, brightNearBalls);
    // Bone at the front of the jaw, air in the corner: HU + 1000.
    EXPECT_NEAR(volume->at(128, unsigned((44.625 - 28.0) / s), unsigned(16.0 / s)), 1350, 100);
    EXPECT_NEAR(volume->at(2, 2, 2), 0, 60);
}
