#include "planning/model/VolumeSlice.h"

std::shared_ptr<VolumeSlice> VolumeSlice::create()
{
    return std::make_shared<VolumeSlice>();
}

VolumeSlice::VolumeSlice() : Vexa::Slice(Vexa::Matrix44<double>(), Vexa::Size2<double>(0.0, 0.0))
{
}

void VolumeSlice::setFrame(const Vexa::Matrix44<double>& transform, const Vexa::Size2<double>& size)
{
    setTransform(transform);
    setSize(size);
}
