#include "shell/segmentation/SegmentationDialog.h"

#include "shell/segmentation/SegmentDialogOrthoView.h"
#include "shell/widgets/Slider.h"
#include "shell/widgets/WindowFlags.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/volume/VolumeData.h"

#include <QLabel>
#include <QPushButton>

SegmentationDialog::SegmentationDialog(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume,
                                       QWidget* parent, unsigned short threshold)
try : Dialog(parent, "SegmentationDialog", true, WindowFlags::Customize | WindowFlags::NoBorder)
{
    if (parent) {
        setFixedSize(parent->size());
        move(parent->mapToGlobal(QPoint(0, 0)));
    } else {
        setFixedSize(395, 400);
    }
    QFont f = font();
    f.setFamily("Fixedsys");
    f.setPointSize(9);
    setFont(f);
    const int W = width(), H = height();
    const int slices = volume ? int(volume->getDimZ()) : 1;
    preview_ = new SegmentDialogOrthoView(volume, this, 0);
    preview_->setGeometry(int(0.02 * W), int(0.02 * H), int(0.8 * W), int(0.8 * H));
    auto* buttons = new QWidget(this);
    buttons->setObjectName("Buttons");
    buttons->setGeometry(int(0.82 * W), int(0.82 * H), int(0.17 * W), int(0.17 * H));
    okButton_ = new QPushButton("OK", buttons);
    okButton_->setObjectName("m_OKButton");
    okButton_->setGeometry(0, 0, buttons->width(), buttons->height() / 2);
    cancelButton_ = new QPushButton("Cancel", buttons);
    cancelButton_->setObjectName("m_buttonCancel");
    cancelButton_->setGeometry(0, buttons->height() / 2, buttons->width(), buttons->height() / 2);
    cancelButton_->setDefault(true);
    contrast_ = new Slider(Qt::Horizontal, this, "ContrastSlider");
    contrast_->setRange(0, 4095);
    contrast_->setGeometry(int(0.02 * W), int(0.85 * H), int(0.8 * W), int(0.05 * H));
    contrast_->setTracking(true);
    depth_ = new Slider(Qt::Vertical, this, "DepthSlider");
    depth_->setRange(0, std::max(0, slices - 1));
    depth_->setGeometry(int(0.85 * W), int(0.06 * H), int(0.05 * W), int(0.76 * H));
    depth_->setTracking(true);
    const QRect c = contrast_->geometry(), d = depth_->geometry();
    (new QLabel(tr("Low"), this))->setGeometry(c.x(), c.y() + c.height(), 80, 20);
    (new QLabel(tr("Bone contrast"), this))->setGeometry((c.x() + c.width()) / 2 - 50, c.y() + c.height(), 100, 20);
    (new QLabel(tr("High"), this))->setGeometry(c.x() + c.width() - 40, c.y() + c.height(), 40, 20);
    auto* location = new QLabel(tr("Location"), this);
    location->setAlignment(Qt::AlignHCenter);
    location->setGeometry(d.x() - 10, int(0.02 * H), 65, 14);
    connect(depth_, &QSlider::valueChanged, preview_, &SegmentDialogOrthoView::setDepth);
    connect(contrast_, &QSlider::valueChanged, preview_, &SegmentDialogOrthoView::setSegmentationThreshold);
    connect(okButton_, &QPushButton::clicked, this, &SegmentationDialog::ok);
    connect(cancelButton_, &QPushButton::clicked, this, &SegmentationDialog::cancel);
    connect(contrast_, &Slider::sliderPressed, preview_, &SegmentDialogOrthoView::setSegmentationThreshold);
    depth_->setValue(slices / 2);
    preview_->setDepth(slices / 2);
    contrast_->setValue(threshold);
    preview_->setSegmentationThreshold(threshold);
}
VEXA_RETHROW

unsigned short SegmentationDialog::getSegmentationThreshold() const
{
    return preview_->getSegmentationThreshold();
}
