#pragma once
// The preview of the segmentation dialog: one axial slice of the volume, every voxel below the
// threshold black, the others in their grey value (bits 4 to 11), fitted into the widget from
// its lower left corner with the first image row at the top. Drawn from a picture made anew for
// each change, so nothing accumulates however often the sliders move.
#include <QImage>
#include <QWidget>
#include <memory>

namespace Vexa {
template<class T> class VolumeData;
}

class SegmentDialogOrthoView : public QWidget
{
    Q_OBJECT

public:
    SegmentDialogOrthoView(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume, QWidget* parent,
                           unsigned short threshold);

    // The grey value a voxel shows with the threshold (0 black).
    static unsigned char filter(unsigned short voxel, unsigned short threshold);
    unsigned short getSegmentationThreshold() const { return threshold_; }
    // The slice shown: 0 the top one.
    int getDepth() const { return depth_; }
    // The picture of the slice as shown, before fitting.
    const QImage& getPicture() const { return picture_; }

public slots:
    void setDepth(int depth);
    void setSegmentationThreshold(int threshold);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuild();

    std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume_;
    unsigned short threshold_;
    int depth_ = 0;
    QImage picture_;
};
