// Series to volume: order, spacing, orientation, values and the failures of broken series; the
// sample patient the build writes.
#include "DicomTestSupport.h"
#include "common/RefusedThreadStarts.h"
#include "common/TestSupport.h"

#include "dicom/core/DicomException.h"
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomSeriesReader.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <thread>

using namespace Vexa;
using DicomTestSupport::errorOf;
using DicomTestSupport::gridHU;
using TestSupport::filesIn;

namespace {

// Writes a series of the 8 x 6 x 5 grid (0.5, 0.25, 1.5 mm) with the given extra settings.
std::vector<std::string> writeSeries(const std::string& folder, const QVariantMap& settings)
{
    QVariantMap spec{{"dims", QVariantList{8, 6, 5}}, {"spacing", QVariantList{0.5, 0.25, 1.5}},
                     {"origin", QVariantList{-20.0, 10.0, 30.0}}, {"folder", QString::fromStdString(folder)}};
    spec.insert(settings);
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
    const int code = errorOf([&] { manager.start(); }, message);
    EXPECT_EQ(manager.getData() == nullptr, code != 0);
    return code;
}

// The voxels of the 8 x 6 x 5 grid that differ from what value(x, y, z) says.
template<class Value>
int countWrong(const VolumeData<unsigned short>& volume, Value value)
{
    int wrong = 0;
    for (unsigned z = 0; z < 5; ++z)
        for (unsigned y = 0; y < 6; ++y)
            for (unsigned x = 0; x < 8; ++x)
                wrong += volume.at(x, y, z) != value(x, y, z);
    return wrong;
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
    EXPECT_EQ(countWrong(volume, [](unsigned x, unsigned y, unsigned z) { return gridHU(x, y, z) + 1000; }), 0) << what;
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
        bool un = false; // every element but the pixels written as UN, as some converters do
    } cases[] = {
        {"axial", {1, 0, 0}, {0, 1, 0}, "shuffled", "explicit"},
        {"axial-descending", {1, 0, 0}, {0, 1, 0}, "descending", "implicit"},
        {"axial-flipped", {-1, 0, 0}, {0, -1, 0}, "ascending", "big"},
        {"sagittal", {0, 1, 0}, {0, 0, -1}, "shuffled", "explicit"},
        {"coronal", {1, 0, 0}, {0, 0, -1}, "descending", "explicit"},
        {"axial-un", {1, 0, 0}, {0, 1, 0}, "shuffled", "explicit", true},
        {"coronal-un", {1, 0, 0}, {0, 0, -1}, "descending", "big", true},
    };
    for (const Case& c : cases) {
        auto files = writeSeries(scratch.file(c.name), {{"row", c.row}, {"col", c.col}, {"order", c.order},
                                                        {"syntax", c.syntax}, {"un", c.un}});
        auto data = import(files);
        ASSERT_NE(data, nullptr) << c.name;
        auto volume = data->getVolumeData();
        expectGrid(*volume, c.name);
        EXPECT_TRUE(isEqual(volume->getTransform(), Matrix44<double>(), 1e-12)) << c.name;
        EXPECT_EQ(data->getInformation()->getImageDeviceName(), "CT") << c.name;
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
    EXPECT_NE(message.find("uneven slice spacing"), std::string::npos) << message;
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
    for (const char* series : {"98892003/MR2", "98892003/MR700"}) {
        const int code = importError(filesIn(dirs + series));
        EXPECT_TRUE(code == DicomInconsistentSeries || code == DicomObliqueSeries) << series << " " << code;
    }
    // Nothing, or a file that is no DICOM file.
    EXPECT_EQ(importError({}), DicomNoFiles);
    EXPECT_EQ(importError({DicomTestSupport::testFiles + "/zipMR.gz"}), DicomException::NoImporter);
    EXPECT_EQ(importError({scratch.file("absent.dcm")}, &message), DicomException::NoImporter);
    EXPECT_NE(message.find("does not exist"), std::string::npos) << message;
}

// A gap where files of the folder could not be read is refused as a gap, naming those files and
// why; a gap with nothing unread there, or unread files elsewhere, says nothing of them.
TEST(DicomSeriesImport, AGapWhereFilesCouldNotBeReadNamesThem)
{
    const struct
    {
        const char* what;
        std::vector<int> damaged, dropped;
        std::vector<std::string> named, unnamed;
    } cases[] = {
        {"two damaged in the middle", {3, 4}, {}, {"slice_0003.dcm (", "slice_0004.dcm ("}, {}},
        {"one damaged", {5}, {}, {"the file between them, slice_0005.dcm ("}, {}},
        {"missing, nothing unread", {}, {4}, {}, {"could not be read"}},
        {"a gap, damaged files elsewhere", {0}, {4}, {}, {"slice_0000", "could not be read"}},
    };
    for (const auto& c : cases) {
        TestSupport::ScratchDir scratch;
        QVariantList dropped;
        for (int k : c.dropped)
            dropped.push_back(k);
        std::vector<std::string> files =
            writeSeries(scratch.file("series"), {{"dims", QVariantList{8, 6, 9}}, {"drop", dropped}});
        // The files the import dialog could not read are not offered for the import.
        for (int k : c.damaged) {
            const std::string file = scratch.file("series/slice_000" + std::to_string(k) + ".dcm");
            std::filesystem::resize_file(file, 300);
            files.erase(std::find(files.begin(), files.end(), file));
        }
        std::string message;
        EXPECT_EQ(importError(files, &message), DicomIrregularSpacing) << c.what;
        EXPECT_NE(message.find("(uneven slice spacing)"), std::string::npos) << message;
        for (const std::string& text : c.named)
            EXPECT_NE(message.find(text), std::string::npos) << c.what << ": " << message;
        for (const std::string& text : c.unnamed)
            EXPECT_EQ(message.find(text), std::string::npos) << c.what << ": " << message;
        if (!c.named.empty()) {
            EXPECT_NE(message.find("could not be read, so the series lacks the slices there"), std::string::npos)
                << message;
        }
    }
}

// Spacings no dental CT or CBCT has come only from broken headers: refused, naming the value,
// wherever the spacing comes from; the extremes of real devices and real series still import.
TEST(DicomSeriesImport, SpacingsOutsideDentalImagingAreRefused)
{
    TestSupport::ScratchDir scratch;
    const auto series = [&](const char* name, QVariantList spacing, QVariantMap more = {}) {
        more.insert({{"spacing", spacing}, {"origin", QVariantList{0.0, 0.0, 0.0}}, {"numbers", ".6g"}});
        return writeSeries(scratch.file(name), more);
    };
    const std::string pydicom = DicomTestSupport::testFiles + "/";
    struct Case
    {
        const char* name;
        std::vector<std::string> files;
        const char* named; // the value the refusal names; null: the series imports
        std::array<double, 3> spacing{}; // checked when given
    } cases[] = {
        {"huge pixels", series("huge-pixels", {1e300, 1e300, 1.5}), "pixel spacing of 1e+300 mm"},
        {"tiny pixels", series("tiny-pixels", {0.5, 1e-300, 1.5}), "pixel spacing of 1e-300 mm"},
        {"huge slice steps", series("huge-steps", {0.5, 0.25, 1e300}), "slice spacing of 1e+300 mm"},
        {"tiny slice steps", series("tiny-steps", {0.5, 0.25, 1e-300}), "slice spacing of 1e-300 mm"},
        {"huge spacing between slices", series("huge-between", {0.5, 0.25, 1.5}, {{"positions", false}, {"between", "1e300"}}),
         "spacing between slices (0018,0088) of 1e+300 mm"},
        {"tiny slice thickness", series("tiny-thickness", {0.5, 0.25, 1.5}, {{"positions", false}, {"thickness", "1e-300"}}),
         "slice thickness (0018,0050) of 1e-300 mm"},
        {"finest and coarsest", series("extremes", {0.001, 50, 0.002}), nullptr, {0.001, 50, 0.002}},
        {"thickest slices", series("thick", {0.5, 0.25, 50}), nullptr, {0.5, 0.25, 50}},
        {"CT5N", filesIn(pydicom + "dicomdirtests/98892001/CT5N"), nullptr, {0.488281, 0.488281, 2.5}},
        {"CT_small", {pydicom + "CT_small.dcm"}, nullptr, {0.661468, 0.661468, 5}},
        {"MR_small", {pydicom + "MR_small.dcm"}, nullptr, {0.3125, 0.3125, 0.8}},
        {"sample patient", filesIn(std::string(MORVANTA_BINARY_DIR) + "/app/SamplePatient"), nullptr, {0.35, 0.35, 0.35}},
    };
    for (const Case& c : cases) {
        DicomIOManager manager;
        manager.insertImporter(new UniversalImporter);
        manager.setFiles(c.files);
        std::string message;
        const int code = errorOf([&] { manager.start(); }, &message);
        if (c.named) {
            EXPECT_EQ(code, DicomImplausibleSpacing) << c.name << ": " << message;
            EXPECT_NE(message.find(std::string(c.named) + " is outside the range of dental CT and CBCT (0.001 to 50 mm)"),
                      std::string::npos)
                << c.name << ": " << message;
            EXPECT_EQ(manager.getData(), nullptr) << c.name;
            continue;
        }
        ASSERT_EQ(code, 0) << c.name << ": " << message;
        auto volume = std::dynamic_pointer_cast<DicomVolume>(manager.getData())->getVolumeData();
        EXPECT_NEAR(volume->getSpacingX(), c.spacing[0], 1e-6) << c.name;
        EXPECT_NEAR(volume->getSpacingY(), c.spacing[1], 1e-6) << c.name;
        EXPECT_NEAR(volume->getSpacingZ(), c.spacing[2], 1e-6) << c.name;
    }
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
    EXPECT_EQ(countWrong(*mr->getVolumeData(), [](unsigned x, unsigned y, unsigned z) {
        return std::clamp(gridHU(x, y, z), 0, 4095); }), 0);
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

// The histogram the import counts on the way is a plain count of the volume it made: smooth
// slices padded around a round field of view (long runs of one value) and noisy ones, in the
// formats and orientations that are decoded differently.
TEST(DicomSeriesImport, HistogramIsThePlainCountOfTheVolume)
{
    TestSupport::ScratchDir scratch;
    const int nx = 40, ny = 30, nz = 6;
    // HU + 1000: padding outside a circle, tissue and a block of bone inside, noise on top.
    auto writeRaw = [&](const std::string& file, double noise) {
        std::mt19937 random(5);
        std::normal_distribution<double> normal(0.0, 1.0);
        std::vector<uint16_t> voxels;
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const bool inside = std::hypot(x - 19.5, y - 14.5) < 13.0, bone = x > 20 && y > 10 && y < 20;
                    const double v = (inside ? (bone ? 2500.0 : 1000.0) : 0.0) + noise * normal(random);
                    voxels.push_back(uint16_t(std::clamp(std::lround(v), 0L, 4095L)));
                }
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(voxels.data()),
                                                    std::streamsize(2 * voxels.size()));
        return QString::fromStdString(file);
    };
    const QString smooth = writeRaw(scratch.file("smooth.raw"), 0.0), noisy = writeRaw(scratch.file("noisy.raw"), 20.0);
    struct Case
    {
        const char* name;
        QString raw;
        QVariantMap settings;
    } cases[] = {
        {"smooth", smooth, {}},
        {"smooth-rows-along-y", smooth, {{"row", QVariantList{0, 1, 0}}, {"col", QVariantList{1, 0, 0}}}},
        {"smooth-mr", smooth, {{"modality", "MR"}, {"intercept", 0}}},
        {"noisy", noisy, {}},
        {"noisy-big-endian", noisy, {{"syntax", "big"}}},
        {"noisy-signed", noisy, {{"pixelrep", 1}, {"intercept", 0}}},
        {"noisy-rescaled", noisy, {{"slope", 2}}},
    };
    for (Case& c : cases) {
        c.settings.insert(
            {{"dims", QVariantList{nx, ny, nz}}, {"spacing", QVariantList{0.5, 0.5, 0.5}}, {"raw", c.raw}});
        auto data = import(writeSeries(scratch.file(c.name), c.settings));
        ASSERT_NE(data, nullptr) << c.name;
        const auto& volume = *data->getVolumeData();
        std::vector<uint64_t> plain(65536, 0);
        for (std::size_t i = 0; i < volume.getVoxelCount(); ++i)
            ++plain[volume.getVoxels()[i]];
        ASSERT_NE(data->getVoxelHistogram(), nullptr) << c.name;
        EXPECT_EQ(data->getVoxelHistogram()->counts(), plain) << c.name;
    }
}

TEST(DicomSeriesImport, ManagerReportsProgressAndHonoursCancel)
{
    TestSupport::ScratchDir scratch;
    DicomIOManager manager;
    manager.insertImporter(new UniversalImporter);
    EXPECT_EQ(manager.getProgressState(), 0.0);
    manager.setFiles(writeSeries(scratch.file("s"), {{"dims", QVariantList{8, 6, 40}}}));
    manager.cancel();
    EXPECT_EQ(errorOf([&] { manager.start(); }), DicomImportCancelled);
    EXPECT_EQ(manager.getData(), nullptr);
    // After a reset the same manager imports; the progress a poller sees stays within 0..1.
    manager.resetProgress();
    std::atomic<bool> done{false};
    std::vector<double> seen;
    std::thread poller([&] {
        while (!done)
            seen.push_back(manager.getProgressState());
    });
    EXPECT_TRUE(manager.start());
    done = true;
    poller.join();
    EXPECT_EQ(std::dynamic_pointer_cast<DicomVolume>(manager.getData())->getSourceFiles().size(), 40u);
    EXPECT_DOUBLE_EQ(manager.getProgressState(), 1.0);
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](double p) { return p >= 0.0 && p <= 1.0; }));
}

TEST(DicomSeriesImport, ThreadsTheSystemRefusesReadTheSameVolume)
{
    TestSupport::ScratchDir scratch;
    const auto files = writeSeries(scratch.file("s"), {{"dims", QVariantList{8, 6, 24}}});
    const auto reference = import(files);
    ASSERT_NE(reference, nullptr);
    const auto& expected = *reference->getVolumeData();

    // Headers, then pixels: two passes over the files, each on threads beside the calling one.
    const int starts = int(DicomSeriesReader::threadCount(files.size())) - 1;
    for (int allowed = 0; allowed <= 2 * starts + 1; ++allowed) {
        TestSupport::RefusedThreadStarts refusal(allowed);
        const auto data = import(files);
        ASSERT_NE(data, nullptr) << allowed << " threads started";
        const auto& volume = *data->getVolumeData();
        ASSERT_EQ(volume.getVoxelCount(), expected.getVoxelCount());
        EXPECT_TRUE(std::equal(volume.getVoxels(), volume.getVoxels() + volume.getVoxelCount(), expected.getVoxels()))
            << allowed << " threads started";
        EXPECT_EQ(volume.getSpacingZ(), expected.getSpacingZ());
        EXPECT_EQ(data->getSourceFiles(), reference->getSourceFiles());
        EXPECT_EQ(data->getVoxelHistogram()->counts(), reference->getVoxelHistogram()->counts());
        EXPECT_EQ(refusal.started(), std::min(allowed, 2 * starts));
        EXPECT_EQ(refusal.refused(), int(allowed < starts) + int(allowed < 2 * starts)) << allowed;
    }
}

// The sample patient imports as a CT volume with its marker balls where the generator put them.
TEST(SamplePatient, ImportsWithMarkersWhereTheGeneratorPutThem)
{
    const std::string folder = std::string(MORVANTA_BINARY_DIR) + "/app/SamplePatient";
    QFile markersFile(QString(MORVANTA_BINARY_DIR) + "/tools/sample_patient_markers.json");
    ASSERT_TRUE(markersFile.open(QIODevice::ReadOnly)) << "the build writes the sample patient";
    const QJsonObject markers = QJsonDocument::fromJson(markersFile.readAll()).object();

    const std::vector<std::string> files = TestSupport::filesIn(folder);
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
    // The histogram counted on the way is that of the voxels.
    std::vector<uint64_t> plain(65536, 0);
    for (std::size_t i = 0; i < volume->getVoxelCount(); ++i)
        ++plain[volume->getVoxels()[i]];
    EXPECT_EQ(data->getVoxelHistogram()->counts(), plain);
    // Bone at the front of the jaw, air in the corner: HU + 1000.
    EXPECT_NEAR(volume->at(128, unsigned((44.625 - 28.0) / s), unsigned(16.0 / s)), 1350, 100);
    EXPECT_NEAR(volume->at(2, 2, 2), 0, 60);
}
