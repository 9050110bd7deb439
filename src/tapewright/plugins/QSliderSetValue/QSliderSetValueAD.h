#pragma once
// Records where a slider was dragged to instead of the drag itself.
#include "tapewright/plugins/AbstractSliderSetValue/AbstractSliderSetValueAD.h"

class QSliderSetValueAD : public AbstractSliderSetValueAD
{
public:
    QSliderSetValueAD();
    AdapterInfo info() const override;
};
