#include "shell/dialogs/BoneDensityDialog.h"

#include "dicom/import/DicomInformation.h"
#include "dicom/import/DicomVolume.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "vexa/volume/VolumeData.h"

#include "ShellTestSupport.h"
#include "common/TestSupport.h"

#include <QGraphicsView>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>

namespace {

using Volume = Vexa::VolumeData<unsigned short>;

class BoneDensityDialogTest : public testing::Test
{
protected:
    std::shared_ptr<Model> model(std::shared_ptr<Volume> volume, int device)
    {
        auto m = std::make_shared<Model>(std::make_shared<Settings>(dir.file("none.ini")));
        if (volume)
            m->setData(std::make_shared<Vexa::DicomVolume>(
                std::make_shared<Vexa::DicomInformation>(std::map<uint32_t, std::string>{}, device), volume,
                std::vector<std::string>{}));
        return m;
    }
    static std::shared_ptr<Implant> implant(double diameter, double length, const Vexa::Matrix44<double>& t)
    {
        return std::make_shared<Implant>(nullptr, "Screw 4.1", "Acme", "R1", "", length, diameter, 4.8,
                                         "/nonexistent/Screw.implant", 0, t);
    }
    TestSupport::ScratchDir dir;
};


}

TEST_F(BoneDensityDialogTest, RingsMatchANumpyOracleAndTheDiagramShowsThem)
{
    // A bright shell around an oblique axis that leaves the volume at its top end, so the last
    // rings lie partly outside.
    const unsigned nx = 90, ny = 80, nz = 100;
    auto volume = std::make_shared<Volume>(nx, ny, nz, 0.3, 0.3, 0.25);
    Vexa::Matrix44<double> t;
    t.setRotation(Vexa::Vector3D(1, 0.5, 0).getNormalized(), 0.45);
    t.setTranslation(Vexa::Vector3D(13.0, 12.0, 11.0));
    const Vexa::Vector3D axis(t[8], t[9], t[10]), origin(t[12], t[13], t[14]);
    for (unsigned z = 0; z < nz; ++z)
        for (unsigned y = 0; y < ny; ++y)
            for (unsigned x = 0; x < nx; ++x)
            {
                const Vexa::Vector3D p((x + 0.5) * 0.3, (y + 0.5) * 0.3, (z + 0.5) * 0.25);
                const Vexa::Vector3D d = p - origin;
                const double radial = (d - axis * d.dot(axis)).length();
                volume->at(x, y, z) = static_cast<unsigned short>(1000 + 2500 * std::exp(-std::pow(radial - 2.2, 2)) + 3 * z);
            }
    const std::string raw = dir.file("volume.raw");
    std::ofstream(raw, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
    QStringList args{MORVANTA_SOURCE_DIR "/tests/tools/bone_density_oracle.py", QString::fromStdString(raw), "90", "80",
                     "100", "0.3", "0.3", "0.25", "4.1", "11.5"};
    for (int i = 0; i < 16; ++i)
        args << QString::number(t[i], 'g', 17);
    QProcess oracle;
    oracle.start("/usr/bin/python3", args);
    ASSERT_TRUE(oracle.waitForFinished(60000));
    ASSERT_EQ(oracle.exitCode(), 0) << oracle.readAllStandardError().toStdString();
    const QStringList lines = QString(oracle.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);

    BoneDensityDialog dialog(implant(4.1, 11.5, t), model(volume, 1), 2, nullptr);
    const auto& rings = dialog.getRingDensities();
    ASSERT_EQ(lines.size(), int(rings.size()) + 3);
    EXPECT_EQ(lines[1].toInt(), dialog.getAngleCount());
    for (std::size_t i = 0; i < rings.size(); ++i)
        EXPECT_NEAR(rings[i], lines[int(i) + 2].toDouble(), 1e-9) << "ring " << i;
    EXPECT_NEAR(dialog.getMeanDensity(), lines.back().toDouble(), 1e-9);
    EXPECT_LT(rings.back(), 0.9 * *std::max_element(rings.begin(), rings.end())) << "the top rings leave the volume";
    EXPECT_TRUE(ShellTest::labelTexts(dialog).contains(QString("Mean:  %1").arg(dialog.getMeanDensity() - 1000.0, 5, 'f', 1)));
    EXPECT_TRUE(ShellTest::labelTexts(dialog).contains("3000"));

    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QGraphicsView* view = dialog.diagram();
    const QImage shot = view->viewport()->grab().toImage();
    dialog.grab().save(MORVANTA_BINARY_DIR "/tests/shell/bone_density.png");
    int probed = 0;
    for (std::size_t i = 10; i < rings.size(); i += 23)
        if (const QPointF p = dialog.ringPoint(i); p.x() > 2 && p.x() < 456 && ++probed)
        {
            EXPECT_EQ(shot.pixelColor(view->mapFromScene(p)), QColor(Qt::red)) << "ring " << i;
        }
    EXPECT_GE(probed, 6);
    const int meanX = dialog.mapDensity(int(dialog.getMeanDensity()), 0, 459);
    const QPoint mean = view->mapFromScene(QPointF(meanX, dialog.zeroLineY() - 4));
    EXPECT_EQ(shot.pixelColor(mean), QColor(255, 190, 50));
}

TEST_F(BoneDensityDialogTest, CountsDeviceLabelsAndNoDataMessage)
{
    // Rings in steps of half the smallest spacing over 30 mm; no angles without a radius.
    for (const auto& [sx, sz, diameter, rings, angles] :
         {std::tuple{0.3, 0.25, 4.1, 240u, 102}, {0.3, 0.3, 4.0, 200u, 83}, {0.3, 0.3, 0.0, 200u, 0}})
    {
        BoneDensityDialog dialog(implant(diameter, 10, {}), model(std::make_shared<Volume>(8, 8, 8, sx, sx, sz), 1), 1,
                                 nullptr);
        EXPECT_EQ(dialog.getRingDensities().size(), rings);
        EXPECT_EQ(dialog.getAngleCount(), angles);
    }
    const auto volume = std::make_shared<Volume>(8, 8, 8, 0.3, 0.3, 0.3);
    const QStringList dvt = ShellTest::labelTexts(BoneDensityDialog(implant(4, 10, {}), model(volume, 2), 1, nullptr));
    EXPECT_TRUE(dvt.contains("DVT density values"));
    EXPECT_FALSE(dvt.contains("3000"));
    EXPECT_FALSE(dvt.filter("Mean").size());
    const QStringList other = ShellTest::labelTexts(BoneDensityDialog(implant(4, 10, {}), model(volume, 0), 1, nullptr));
    EXPECT_FALSE(other.contains("DVT density values") || other.contains("3000"));
    // Outside the scan: no mean to give.
    Vexa::Matrix44<double> far;
    far.setTranslation(Vexa::Vector3D(100, 100, 100));
    EXPECT_TRUE(ShellTest::labelTexts(BoneDensityDialog(implant(4, 10, far), model(volume, 1), 1, nullptr)).contains("Mean:  n/a"));

    BoneDensityDialog empty(implant(4, 10, {}), model(nullptr, 1), 1, nullptr);
    QString message;
    const int exec = ShellTest::runModal(empty, [&] {
        QWidget* box = QApplication::activeModalWidget();
        message = ShellTest::labelTexts(*box).join("");
        QTest::mouseClick(ShellTest::buttonsInOrder(*box).front(), Qt::LeftButton);
    });
    EXPECT_EQ(exec, 0);
    EXPECT_EQ(message, "No image data is loaded.");
    EXPECT_FALSE(empty.isVisible());
}
