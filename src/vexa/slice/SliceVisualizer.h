#pragma once
// Draws a slice as a textured quad. A subclass makes the slice's texture (createTexture);
// this base holds how large textures are made and how they are filtered.
#include "vexa/math/Matrix44.h"
#include "vexa/math/Size2.h"
#include "vexa/slice/Slice.h"

#include <memory>

namespace Vexa {

class SliceVisualizer
{
public:
    // A texture name with the texture coordinates (s, t) up to which it holds the slice.
    struct Texture
    {
        unsigned name = 0;
        double extentS = 0.0;
        double extentT = 0.0;
    };

    enum TextureSizeMode { FixedTextureSize = 0, PowerOfTwoTextureSize = 2 };
    enum Filtering { NearestFiltering = 0, LinearFiltering = 1 };

    // Texture size mode 2, fixed texture size 256 x 256, filter mode 0.
    SliceVisualizer();
    virtual ~SliceVisualizer();

    // The slice's texture, made or found by the subclass in the current GL context; name 0
    // when there is nothing to show.
    virtual Texture createTexture(std::shared_ptr<Slice> slice) = 0;
    // Draws the slice with its own frame and size.
    virtual void render(std::shared_ptr<Slice> slice);
    // Draws the slice's texture in white on the quad (0, 0)-(width, height) of `size` under
    // `transform` (multiplied onto the model-view matrix and restored afterwards). Nothing is
    // drawn when the subclass has no texture (name 0).
    virtual void render(std::shared_ptr<Slice> slice, const Matrix44<double>& transform, const Size2<double>& size);

    Size2<unsigned> getTextureSize() const { return textureSize_; }
    void setTextureSize(const Size2<unsigned>& size) { textureSize_ = size; }
    // 0 fixed size, 2 power of two from the slice.
    int getTextureSizeMode() const { return textureSizeMode_; }
    void setTextureSizeMode(int mode) { textureSizeMode_ = mode; }
    // 0 nearest, 1 linear.
    int getFiltering() const { return filtering_; }
    void setFiltering(int mode) { filtering_ = mode; }

    // On the bound 2D texture: mode 1 linear filters with edge clamping in s and t, otherwise
    // nearest filters.
    void setTextureParameters() const;

private:
    int textureSizeMode_ = PowerOfTwoTextureSize;
    Size2<unsigned> textureSize_;
    int filtering_ = NearestFiltering;
};

}
