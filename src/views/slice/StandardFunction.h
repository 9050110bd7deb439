#pragma once
// The linear grey-value window of the slice textures: a voxel value v becomes the grey value
// v * scale + offset, clamped to 0..255 (in double, so that values far outside the window
// come out black or white rather than wrapped), with full alpha.
#include <cstdint>
#include <utility>

namespace Vexa {

template<class T>
class StandardFunction
{
public:
    // What a cached texture was made with; equal keys give equal textures.
    using Key = std::pair<double, double>;

    // The window from low (grey 0) to high (grey 255). A window that is not wider than one
    // grey value (high <= low) is taken as (low, low + 1): a threshold at low.
    void setWindow(int low, int high)
    {
        if (high <= low)
            high = low + 1;
        low_ = low;
        high_ = high;
        scale_ = 255.0 / (double(high) - double(low));
        offset_ = -(double(low) * scale_);
    }
    int getLow() const { return low_; }
    int getHigh() const { return high_; }
    double getScale() const { return scale_; }
    double getOffset() const { return offset_; }

    Key key() const { return {scale_, offset_}; }

    // Luminance in the low byte, alpha 255 in the high byte: the two bytes of one
    // GL_LUMINANCE_ALPHA texel in memory order on a little-endian machine.
    std::uint16_t texel(T value) const
    {
        double g = double(value) * scale_ + offset_;
        g = g < 0.0 ? 0.0 : (g > 255.0 ? 255.0 : g);
        return static_cast<std::uint16_t>(static_cast<unsigned>(g) | 0xFF00u);
    }

private:
    double scale_ = 0.0625;
    double offset_ = 0.0;
    int low_ = 0;
    int high_ = 4080;
};

}
