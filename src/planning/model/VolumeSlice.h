#pragma once
// One cross section of the Model: a slice whose frame the Model computes; until then (or when
// its object lies off the panoramic line) it is not valid and is not drawn.
#include "vexa/slice/Slice.h"

#include <memory>

class VolumeSlice : public Vexa::Slice
{
public:
    // Identity frame, zero size, not valid.
    static std::shared_ptr<VolumeSlice> create();
    VolumeSlice();

    bool isValid() const { return valid_; }
    void setFrame(const Vexa::Matrix44<double>& transform, const Vexa::Size2<double>& size);
    void setValid(bool valid) { valid_ = valid; }

private:
    bool valid_ = false;
};
