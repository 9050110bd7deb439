#include "shell/segmentation/SegmentDialogOrthoView.h"

#include "shell/widgets/Appearance.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/volume/VolumeData.h"

#include <QPainter>
#include <algorithm>

SegmentDialogOrthoView::SegmentDialogOrthoView(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume,
                                               QWidget* parent, unsigned short threshold)
    : QWidget(parent), volume_(std::move(volume)), threshold_(threshold)
{
    Appearance::blackBackground(this);
    rebuild();
}

unsigned char SegmentDialogOrthoView::filter(unsigned short voxel, unsigned short threshold)
{
    return voxel < threshold ? 0 : static_cast<unsigned char>((voxel >> 4) & 0xFF);
}

void SegmentDialogOrthoView::setDepth(int depth)
try {
    depth_ = depth;
    rebuild();
}
VEXA_RETHROW

void SegmentDialogOrthoView::setSegmentationThreshold(int threshold)
try {
    threshold_ = static_cast<unsigned short>(threshold);
    rebuild();
}
VEXA_RETHROW

void SegmentDialogOrthoView::rebuild()
{
    if (!volume_ || volume_->getVoxelCount() == 0) {
        picture_ = QImage();
        return;
    }
    const unsigned nx = volume_->getDimX(), ny = volume_->getDimY(), nz = volume_->getDimZ();
    // Depth 0 is the top slice (the highest z), the last depth the bottom one.
    const unsigned k = nz - 1 - unsigned(std::clamp(depth_, 0, int(nz) - 1));
    picture_ = QImage(int(nx), int(ny), QImage::Format_Grayscale8);
    const unsigned short* slice = volume_->getVoxels() + std::size_t(k) * nx * ny;
    for (unsigned y = 0; y < ny; ++y) {
        uchar* row = picture_.scanLine(int(y));
        for (unsigned x = 0; x < nx; ++x)
            row[x] = filter(slice[std::size_t(y) * nx + x], threshold_);
    }
    update();
}

void SegmentDialogOrthoView::paintEvent(QPaintEvent*)
{
    if (picture_.isNull())
        return;
    // Aspect fit in millimetres, anchored at the lower left corner.
    const double aw = double(width()) / std::max(1, height());
    const double av = volume_->getExtentX() / volume_->getExtentY();
    const double xExtent = av > aw ? 1.0 : av / aw, yExtent = av > aw ? aw / av : 1.0;
    const QRectF target(0, height() * (1.0 - yExtent), width() * xExtent, height() * yExtent);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture_);
}
