// Series to volume: order, spacing, orientation, values and the failures of broken series.
#include "DicomTestSupport.h"
#include "common/TestSupport.h"

#include "dicom/core/DicomException.h"
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

using namespace Vexa;
using DicomTestSupport::gridHU;

namespace {

std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Writes a series of the 8 x 6 x 5 grid (0.5, 0.25, 1.5 mm) with the given extra settings.
std::vector<std::string> writeSeries(const std::string& folder, QVariantMap spec)
{
    if (!spec.contains("dims"))
        spec["dims"] = QVariantList{8, 6, 5};
    if (!spec.contains("spacing"))
        spec["spacing"] = QVariantList{0.5, 0.25, 1.5};
    spec["folder"] = QString::fromStdString(folder);
    spec["origin"] = QVariantList{-20.0, 10.0, 30.0};
    int exitCode = -1;
    DicomTestSupport::runTool("write_series.py",
                              {QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(spec)).toJson())}, &exitCode);
    EXPECT_EQ(exitCode, 0);
    return filesIn(folder);
}

std::shared_ptr<DicomVolume> import(const std::vector<std::string>& files)
{
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    manager.insertImporter(new DVT9000Importer);
    manager.resetProgress();
    manager.setFiles(files);
    EXPECT_TRUE(manager.start());
    EXPECT_DOUBLE_EQ(manager.getProgressState(), 1.0);
    return std::dynamic_pointer_cast<DicomVolume>(manager.getData());
}

int importError(const std::vector<std::string>& files, std::string* message = nullptr)
{
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    manager.setFiles(files);
    try {
        manager.start();
    } catch (const DicomException& error) {
        if (message)
            *message = error.what();
        EXPECT_EQ(manager.getData(), nullptr);
        return error.code();
    }
    return 0;
}

// The grid's HU + 1000 in every voxel, with x, y, z as patient left, posterior, head.
void expectGrid(const VolumeData<unsigned short>& volume, const char* what)
{
    ASSERT_EQ(volume.getDimX(), 8u) << what;
    ASSERT_EQ(volume.getDimY(), 6u) << what;
    ASSERT_EQ(volume.getDimZ(), 5u) << what;
    EXPECT_NEAR(volume.getSpacingX(), 0.5, 1e-9) << what;
    EXPECT_NEAR(volume.getSpacingY(), 0.25, 1e-9) << what;
    EXPECT_NEAR(volume.getSpacingZ(), 1.5, 1e-6) << what;
    int wrong = 0;
    for (unsigned z = 0; z < 5; ++z)
        for (unsigned y = 0; y < 6; ++y)
            for (unsigned x = 0; x < 8; ++x)
                wrong += volume.at(x, y, z) != gridHU(x, y, z) + 1000;
    EXPECT_EQ(wrong, 0) << what;
    // The left, anterior, head corner is where it belongs: a mirror here is a wrong-side implant.
    EXPECT_EQ(volume.at(7, 0, 4), gridHU(7, 0, 4) + 1000) << what;
}

}

TEST(DicomSeriesImport, EveryAxisAlignedOrientationLandsInPatientAxes)
{
    TestSupport::ScratchDir scratch;
    struct Case
    {
        const char* name;
        QVariantList row, col;
        const char* order;
        const char* syntax;
    } cases[] = {
        {"axial", {1, 0, 0}, {0, 1, 0}, "shuffled", "explicit"},
        {"axial-descending", {1, 0, 0}, {0, 1, 0}, "descending", "implicit"},
        {"axial-flipped", {-1, 0, 0}, {0, -1, 0}, "ascending", "big"},
        {"sagittal", {0, 1, 0}, {0, 0, -1}, "shuffled", "explicit"},
        {"coronal", {1, 0, 0}, {0, 0, -1}, "descending", "explicit"},
    };
    for (const Case& c : cases) {
        auto files = writeSeries(scratch.file(c.name), {{"row", c.row}, {"col", c.col}, {"order", c.order},
                                                        {"syntax", c.syntax}});
        auto data = import(files);
        ASSERT_NE(data, nullptr) << c.name;
        auto volume = data->getVolumeData();
        expectGrid(*volume, c.name);
        EXPECT_TRUE(isEqual(volume->getTransform(), Matrix44<double>(), 1e-12)) << c.name;
        EXPECT_EQ(data->getInformation()->getImageDeviceName(), "CT");
        EXPECT_EQ(data->getInformation()->getValue(0x00100010).first, "Test^Series");
    }
}

TEST(DicomSeriesImport, SlicesAreSortedAlongTheNormalAndKeptInOrder)
{
    // pydicom's five CT slices come with z falling in file order.
    const std::string folder = DicomTestSupport::testFiles + "/dicomdirtests/98892001/CT5N";
    auto files = filesIn(folder);
    ASSERT_EQ(files.size(), 5u);
    auto data = import(files);
    ASSERT_NE(data, nullptr);
    auto volume = data->getVolumeData();
    EXPECT_EQ(volume->getDimX(), 16u);
    EXPECT_EQ(volume->getDimY(), 16u);
    EXPECT_EQ(volume->getDimZ(), 5u);
    EXPECT_NEAR(volume->getSpacingZ(), 2.5, 1e-6);
    // The source files follow the slices: z rises from slice to slice.
    UniversalImporter importer;
    double previous = -1e9;
    for (const auto& file : data->getSourceFiles()) {
        std::string position = importer.readInformation(file)->getValue(0x00320020).first;
        double z = std::stod(position.substr(position.rfind('\\') + 1));
        EXPECT_GT(z, previous);
        previous = z;
    }
    // Copies under other names, handed over in another order, give the same voxels.
    TestSupport::ScratchDir scratch;
    std::vector<std::string> copies;
    for (std::size_t i = 0; i < files.size(); ++i) {
        copies.push_back(scratch.file("copy" + std::to_string(files.size() - i) + ".dcm"));
        std::filesystem::copy_file(files[i], copies.back());
    }
    auto again = import(copies);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(std::equal(volume->getVoxels(), volume->getVoxels() + volume->getVoxelCount(),
                           again->getVolumeData()->getVoxels()));
}

TEST(DicomSeriesImport, BrokenSeriesFailWithTheirReason)
{
    TestSupport::ScratchDir scratch;
    std::string message;
    // A missing slice in the middle.
    EXPECT_EQ(importError(writeSeries(scratch.file("gap"), {{"drop", QVariantList{2}}}), &message), DicomIrregularSpacing);
    EXPECT_NE(message.find("missing slices"), std::string::npos) << message;
    // The same slice twice.
    EXPECT_EQ(importError(writeSeries(scratch.file("twice"), {{"duplicate", 3}})), DicomDuplicateSlice);
    // Tilted slices.
    EXPECT_EQ(importError(writeSeries(scratch.file("oblique"), {{"row", QVariantList{1, 0, 0}},
                                                               {"col", QVariantList{0, 0.9950042, 0.0998334}}})),
              DicomObliqueSeries);
    // Two series mixed: different image sizes.
    auto mixed = writeSeries(scratch.file("mixed"), {});
    auto other = writeSeries(scratch.file("other"), {{"dims", QVariantList{6, 6, 5}}});
    mixed.push_back(other.front());
    EXPECT_EQ(importError(mixed, &message), DicomInconsistentSeries);
    // pydicom's samples: a 99 mm gap, mixed orientations, radial obliques.
    const std::string dirs = DicomTestSupport::testFiles + "/dicomdirtests/";
    EXPECT_EQ(importError(filesIn(dirs + "77654033/CT2")), DicomIrregularSpacing);
    int mr2 = importError(filesIn(dirs + "98892003/MR2"));
    EXPECT_TRUE(mr2 == DicomInconsistentSeries || mr2 == DicomObliqueSeries) << mr2;
    int mr700 = importError(filesIn(dirs + "98892003/MR700"));
    EXPECT_TRUE(mr700 == DicomInconsistentSeries || mr700 == DicomObliqueSeries) << mr700;
    // Nothing, or a file that is no DICOM file.
    EXPECT_EQ(importError({}), DicomNoFiles);
    EXPECT_EQ(importError({DicomTestSupport::testFiles + "/zipMR.gz"}), DicomException::NoImporter);
}

TEST(DicomSeriesImport, ValuesAreTwelveBitsByDevice)
{
    TestSupport::ScratchDir scratch;
    // Signed CT with slope 2: HU + 1000, clamped to 0..4095.
    auto ct = import(writeSeries(scratch.file("ct"), {{"pixelrep", 1}, {"intercept", 0}, {"slope", 1}}));
    ASSERT_NE(ct, nullptr);
    expectGrid(*ct->getVolumeData(), "signed CT");
    // Not CT: stored as the rescaled value, clamped (the grid's negative values become 0).
    auto mr = import(writeSeries(scratch.file("mr"), {{"modality", "MR"}, {"intercept", 0}, {"pixelrep", 1}}));
    ASSERT_NE(mr, nullptr);
    EXPECT_EQ(mr->getInformation()->getImageDevice(), DicomInformation::Unknown);
    int wrong = 0;
    for (unsigned z = 0; z < 5; ++z)
        for (unsigned y = 0; y < 6; ++y)
            for (unsigned x = 0; x < 8; ++x)
                wrong += mr->getVolumeData()->at(x, y, z) != std::clamp(gridHU(x, y, z), 0, 4095);
    EXPECT_EQ(wrong, 0);
    // A DVT 9000 series goes to its own importer, device DVT, values raw.
    auto files = writeSeries(scratch.file("dvt"), {{"modality", "CT"}, {"model", "DVT 9000"}, {"intercept", 0},
                                                   {"pixelrep", 1}});
    UniversalImporter universal;
    DVT9000Importer dvt;
    EXPECT_FALSE(universal.canRead(files[0]));
    EXPECT_TRUE(dvt.canRead(files[0]));
    auto data = import(files);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->getInformation()->getImageDeviceName(), "DVT");
    EXPECT_EQ(data->getVolumeData()->at(7, 5, 4), std::clamp(gridHU(7, 5, 4), 0, 4095));
}

TEST(DicomSeriesImport, ManagerReportsProgressAndHonoursCancel)
{
    TestSupport::ScratchDir scratch;
    auto files = writeSeries(scratch.file("s"), {{"dims", QVariantList{8, 6, 40}}});
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    EXPECT_FALSE(manager.isRunning());
    EXPECT_EQ(manager.getProgressState(), 0.0);
    manager.setFiles(files);
    manager.cancel();
    try {
        manager.start();
        ADD_FAILURE() << "cancelled import completed";
    } catch (const DicomException& error) {
        EXPECT_EQ(error.code(), DicomImportCancelled);
    }
    EXPECT_EQ(manager.getData(), nullptr);
    // After a reset the same manager imports.
    manager.resetProgress();
    std::atomic<bool> done{false};
    std::vector<double> seen;
    std::thread watcher([&] {
        while (!done) {
            seen.push_back(manager.getProgressState());
            std::this_thread::yield();
        }
    });
    EXPECT_TRUE(manager.start());
    done = true;
    watcher.join();
    EXPECT_EQ(manager.getData()->getInformation()->getValue(0x00200010).first, "T0001");
    EXPECT_EQ(std::dynamic_pointer_cast<DicomVolume>(manager.getData())->getSourceFiles().size(), 40u);
    EXPECT_DOUBLE_EQ(manager.getProgressState(), 1.0);
    for (double p : seen)
        EXPECT_TRUE(p >= 0.0 && p <= 1.0);
}
