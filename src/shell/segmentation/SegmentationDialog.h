#pragma once
// The bone threshold for the surface model of DVT data: an axial slice of the volume with every
// voxel below the threshold black, a "bone contrast" slider for the threshold (0 to 4095) and a
// slider through the slices. "OK" accepts, "Cancel" (the default button) abandons.
#include "shell/dialogs/Dialog.h"

#include <memory>

class QPushButton;
class SegmentDialogOrthoView;
class Slider;

namespace Vexa {
template<class T> class VolumeData;
}

class SegmentationDialog : public Dialog
{
    Q_OBJECT

public:
    SegmentationDialog(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume, QWidget* parent,
                       unsigned short threshold);

    unsigned short getSegmentationThreshold() const;
    SegmentDialogOrthoView* preview() const { return preview_; }

private slots:
    void ok() { accept(); }
    void cancel() { reject(); }

private:
    SegmentDialogOrthoView* preview_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
    Slider* contrast_;
    Slider* depth_;
};
