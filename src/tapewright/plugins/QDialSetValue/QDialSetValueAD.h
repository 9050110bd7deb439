#pragma once
// Records where a dial was turned to instead of the drag that turned it.
#include "tapewright/plugins/AbstractSliderSetValue/AbstractSliderSetValueAD.h"

class QDialSetValueAD : public AbstractSliderSetValueAD
{
public:
    QDialSetValueAD();
    AdapterInfo info() const override;
};
