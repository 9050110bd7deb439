// The segmentation dialog read back: the preview's picture of a volume whose voxel values name
// their slice and position, through the depth and contrast sliders, and its answers.
#include "AppTestSupport.h"

#include "shell/segmentation/SegmentDialogOrthoView.h"
#include "shell/segmentation/SegmentationDialog.h"
#include "shell/widgets/Slider.h"
#include "vexa/volume/VolumeData.h"

#include <gtest/gtest.h>

namespace {

// 4 x 3 voxels, 5 slices: value = 1000 * z + 16 * (x + 4 * y).
std::shared_ptr<Vexa::VolumeData<unsigned short>> ramp()
{
    auto volume = std::make_shared<Vexa::VolumeData<unsigned short>>(4, 3, 5, 1.0, 1.0, 1.0);
    for (unsigned z = 0; z < 5; ++z)
        for (unsigned y = 0; y < 3; ++y)
            for (unsigned x = 0; x < 4; ++x)
                volume->at(x, y, z) = static_cast<unsigned short>(1000 * z + 16 * (x + 4 * y));
    return volume;
}

}

TEST(SegmentationDialogTest, PreviewFollowsDepthAndThreshold)
{
    const auto volume = ramp();
    SegmentationDialog dialog(volume, nullptr, 300);
    EXPECT_EQ(dialog.size(), QSize(395, 400));
    auto* depth = dialog.findChild<Slider*>("DepthSlider");
    auto* contrast = dialog.findChild<Slider*>("ContrastSlider");
    SegmentDialogOrthoView* preview = dialog.preview();
    EXPECT_EQ(depth->value(), 2);
    EXPECT_EQ(dialog.getSegmentationThreshold(), 300);
    const struct
    {
        int depth, threshold;
    } rows[] = {{0, 0}, {0, 4095}, {4, 0}, {4, 80}, {2, 2100}};
    for (const auto& row : rows) {
        depth->setValue(row.depth);
        contrast->setValue(row.threshold);
        const unsigned z = 4 - unsigned(row.depth); // depth 0 is the top slice
        const QImage& picture = preview->getPicture();
        ASSERT_EQ(picture.size(), QSize(4, 3));
        for (unsigned y = 0; y < 3; ++y)
            for (unsigned x = 0; x < 4; ++x) {
                const unsigned short v = volume->at(x, y, z);
                const int expected = v < row.threshold ? 0 : (v >> 4) & 0xFF;
                EXPECT_EQ(qGray(picture.pixel(int(x), int(y))), expected)
                    << "depth " << row.depth << " threshold " << row.threshold << " at " << x << "," << y;
            }
    }
    EXPECT_EQ(SegmentDialogOrthoView::filter(4096, 0), 0);
    EXPECT_EQ(SegmentDialogOrthoView::filter(4112, 0), 1);
    EXPECT_EQ(SegmentDialogOrthoView::filter(299, 300), 0);
    EXPECT_EQ(SegmentDialogOrthoView::filter(300, 300), 300 >> 4);
    EXPECT_EQ(dialog.getSegmentationThreshold(), 2100);
}

TEST(SegmentationDialogTest, EnterCancelsAndOkGivesTheThreshold)
{
    for (bool ok : {false, true}) {
        SegmentationDialog dialog(ramp(), nullptr, 1234);
        const int result = ShellTest::runModal(dialog, [&] {
            if (ok)
                dialog.findChild<QPushButton*>("m_OKButton")->click();
            else
                QTest::keyClick(&dialog, Qt::Key_Return);
        });
        EXPECT_EQ(result, ok ? 1 : 0);
        EXPECT_EQ(dialog.getSegmentationThreshold(), 1234);
    }
}
