#pragma once
// Turns slices of a volume into GL textures: samples the volume on the slice with one texel
// per voxel step (power-of-two texture sizes, only the used part filled), maps every voxel
// through the grey-value function and keeps the newest textures for reuse.
//
// Sampling: texel (i, j) shows the voxel under the slice point ((i + 0.5) dx, (j + 0.5) dy),
// dx = slice width / used texels, so a texel shows the voxel under its own centre (nearest
// sampling; a point outside the volume reads 0). The frame is taken through the volume's
// transform first (volume transform x slice frame), giving volume millimetres.
//
// The cache is keyed by texture size, slice frame (within 0.001), slice size, the function's
// key and the GL context the texture was made in; an evicted texture is deleted in its own
// context. It holds at most `limit` textures and `byte limit` bytes (the newest always stays).
// With the cache switched off (`useTextureCache`), the visualizer owns the last texture it
// made and deletes it when it makes the next one. GUI thread only.
#include "views/slice/GlContextKey.h"
#include "views/slice/GlTextures.h"
#include "views/slice/StandardFunction.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Geometry.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Scalar.h"
#include "vexa/math/Size2.h"
#include "vexa/slice/Slice.h"
#include "vexa/slice/SliceVisualizer.h"
#include "vexa/volume/VolumeData.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <list>
#include <memory>
#include <vector>

#include <GL/gl.h>

#ifndef GL_LUMINANCE8_ALPHA8
#define GL_LUMINANCE8_ALPHA8 0x8045
#endif

namespace Vexa {

template<class T, class Function = StandardFunction<T>>
class VolumeSliceVisualizer : public SliceVisualizer
{
public:
    using Volume = VolumeData<T>;
    using Key = typename Function::Key;

    // Texture size, the part of it that is filled and the texture coordinates of that part.
    struct Layout
    {
        Size2<unsigned> size;
        Size2<unsigned> used;
        double extentS = 0.0;
        double extentT = 0.0;
    };

    struct TextureCacheEntry
    {
        Size2<unsigned> size;
        Matrix44<double> frame;
        Size2<double> sliceSize;
        double extentS = 0.0;
        double extentT = 0.0;
        unsigned name = 0;
        Key key{};
        GlContextKey context;

        std::size_t bytes() const { return std::size_t(size.width) * size.height * 2; }
        ~TextureCacheEntry() { GlTextures::remove(name, context); }
    };

    static constexpr unsigned defaultCacheLimit = 10;
    static constexpr std::size_t defaultByteLimit = std::size_t(64) << 20;

    static std::shared_ptr<VolumeSliceVisualizer> create(std::shared_ptr<Volume> volume)
    {
        return std::make_shared<VolumeSliceVisualizer>(std::move(volume));
    }

    // With no buffer, one of the fixed texture size is allocated and owned; a supplied buffer
    // of `bufferTexels` texels is used until a texture needs more (never freed here).
    explicit VolumeSliceVisualizer(std::shared_ptr<Volume> volume, std::uint16_t* buffer = nullptr,
                                   unsigned bufferTexels = 0)
        : volume_(std::move(volume))
    {
        if (buffer) {
            buffer_ = buffer;
            capacity_ = bufferTexels;
        } else {
            reserve(std::size_t(getTextureSize().width) * getTextureSize().height);
        }
    }

    ~VolumeSliceVisualizer() override
    {
        cache_.clear();
        uncached_.reset();
    }

    // Switches the cache; textures made while it is off are not kept.
    bool useTextureCache = true;

    std::shared_ptr<Volume> getVolume() const { return volume_; }
    Function& getFunction() { return function_; }
    const Function& getFunction() const { return function_; }

    void setTextureCacheLimit(unsigned limit)
    {
        limit_ = limit;
        trim();
    }
    unsigned getTextureCacheLimit() const { return limit_; }
    void setTextureByteLimit(std::size_t bytes)
    {
        byteLimit_ = bytes;
        trim();
    }
    std::size_t getTextureByteLimit() const { return byteLimit_; }
    std::size_t getCachedTextureCount() const { return cache_.size(); }
    std::size_t getCachedTextureBytes() const { return cachedBytes_; }
    // The most the cache ever held, in bytes.
    std::size_t getPeakTextureBytes() const { return peakBytes_; }

    // Drops the volume and every texture (each deleted in its own context).
    void clearTextureCache()
    {
        volume_.reset();
        cache_.clear();
        cachedBytes_ = 0;
        uncached_.reset();
    }

    Texture createTexture(std::shared_ptr<Slice> slice) override
    try {
        if (!volume_ || !slice)
            return Texture();
        const Matrix44<double> frame = slice->getTransform();
        const Size2<double> size = slice->getSize();
        GLint maxSize = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
        const Layout layout = computeTextureSize(frame, size, maxSize > 0 ? unsigned(maxSize) : 2048u);
        if (layout.size.width == 0 || layout.size.height == 0)
            return Texture();
        const GlContextKey context = GlContextKey::current();
        if (useTextureCache)
            if (const auto found = findCachedTexture(layout, frame, size, context))
                return Texture{found->name, found->extentS, found->extentT};

        reserve(std::size_t(layout.size.width) * layout.size.height);
        fillTextureBuffer(frame, size, layout, buffer_);
        auto entry = std::make_shared<TextureCacheEntry>();
        entry->size = layout.size;
        entry->frame = frame;
        entry->sliceSize = size;
        entry->extentS = layout.extentS;
        entry->extentT = layout.extentT;
        entry->key = function_.key();
        entry->context = context;
        entry->name = GlTextures::generate();
        glBindTexture(GL_TEXTURE_2D, entry->name);
        setTextureParameters();
        GLint alignment = 4;
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8_ALPHA8, GLsizei(layout.size.width), GLsizei(layout.size.height),
                     0, GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE, buffer_);
        glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
        const Texture texture{entry->name, entry->extentS, entry->extentT};
        // A view without slices (limit 0) keeps none, but the texture must live to be drawn.
        if (useTextureCache && limit_ > 0)
            addCachedTexture(std::move(entry));
        else
            uncached_ = std::move(entry);
        return texture;
    }
    VEXA_RETHROW

    // The texture for a slice frame and size: mode 0 the fixed size; mode 2 (power of two)
    // one texel per voxel step along the volume axis each slice edge runs most along, no
    // side above maxSize (the step grows instead); other modes 0 x 0.
    Layout computeTextureSize(const Matrix44<double>& frame, const Size2<double>& size, unsigned maxSize) const
    {
        Layout layout;
        maxSize = std::max(1u, maxSize);
        if (getTextureSizeMode() == FixedTextureSize) {
            const unsigned w = std::min(std::max(1u, getTextureSize().width), maxSize);
            const unsigned h = std::min(std::max(1u, getTextureSize().height), maxSize);
            layout.size = layout.used = Size2<unsigned>(w, h);
            layout.extentS = layout.extentT = 1.0;
            return layout;
        }
        if (getTextureSizeMode() != PowerOfTwoTextureSize || !volume_)
            return layout;
        const Vector3D spacing(volume_->getSpacingX(), volume_->getSpacingY(), volume_->getSpacingZ());
        const auto along = [&](const Vector3D& axis, double length, unsigned& texture, unsigned& used) {
            double n = 0.0, p = 1.0;
            for (int a = 0; a < 3; ++a) {
                const double count = std::abs(axis[a] * length / spacing[a]);
                if (count > n) {
                    n = count;
                    p = spacing[a];
                }
            }
            // A slice of whole voxels must not grow by one texel through rounding.
            const double steps = snap(length / p);
            n = snap(n);
            if (!std::isfinite(n) || !std::isfinite(steps))
                n = 1.0;
            const double t = std::exp2(std::ceil(Vexa::log2(steps)));
            texture = t >= double(maxSize) ? maxSize : unsigned(t);
            const double u = std::ceil(n);
            used = std::max(1u, u >= double(texture) ? texture : unsigned(u));
            texture = std::max(texture, used);
        };
        along(frame.getColumn(0), size.width, layout.size.width, layout.used.width);
        along(frame.getColumn(1), size.height, layout.size.height, layout.used.height);
        // The slice spans the used texels exactly.
        layout.extentS = double(layout.used.width) / layout.size.width;
        layout.extentT = double(layout.used.height) / layout.size.height;
        return layout;
    }

    // Fills the used texels of a texture of the layout's size (rows layout.size.width apart)
    // and repeats each row's last texel once when the texture is wider.
    void fillTextureBuffer(const Matrix44<double>& frame, const Size2<double>& size, const Layout& layout,
                           std::uint16_t* buffer)
    {
        updateLookup();
        const Volume& v = *volume_;
        const unsigned nx = v.getDimX(), ny = v.getDimY(), nz = v.getDimZ();
        const unsigned usedW = layout.used.width, usedH = layout.used.height, rowLength = layout.size.width;
        Matrix44<double> f = v.getTransform();
        f *= frame;
        const double dx = size.width / usedW, dy = size.height / usedH;
        const Vector3D inv(1.0 / v.getSpacingX(), 1.0 / v.getSpacingY(), 1.0 / v.getSpacingZ());
        const auto scaled = [&](const Vector3D& p) { return Vector3D(p.x * inv.x, p.y * inv.y, p.z * inv.z); };
        // In voxel units: the first texel centre and the steps along a row and between rows.
        const Vector3D origin = scaled(f * Vector3D(0.5 * dx, 0.5 * dy, 0.0));
        const Vector3D ex = scaled(f.rotate(Vector3D(dx, 0.0, 0.0)));
        const Vector3D ey = scaled(f.rotate(Vector3D(0.0, dy, 0.0)));
        const std::uint16_t outside = texel(T(0));
        const T* voxels = v.getVoxels();
        const double limit[3] = {double(nx), double(ny), double(nz)};
        for (unsigned j = 0; j < usedH; ++j) {
            std::uint16_t* row = buffer + std::size_t(j) * rowLength;
            const Vector3D r(origin.x + j * ey.x, origin.y + j * ey.y, origin.z + j * ey.z);
            const auto inside = [&](long i) {
                const double q[3] = {r.x + i * ex.x, r.y + i * ex.y, r.z + i * ex.z};
                return q[0] >= 0.0 && q[0] < limit[0] && q[1] >= 0.0 && q[1] < limit[1] && q[2] >= 0.0 &&
                       q[2] < limit[2];
            };
            // The texels inside the volume form one run: bound it per axis, then settle its
            // ends with the exact test (the computed positions are monotonic in i).
            double lo = 0.0, hi = double(usedW);
            for (int a = 0; a < 3; ++a) {
                const double start = r[a], step = ex[a];
                if (step == 0.0) {
                    if (!(start >= 0.0 && start < limit[a]))
                        hi = lo;
                    continue;
                }
                double i0 = (0.0 - start) / step, i1 = (limit[a] - start) / step;
                if (i0 > i1)
                    std::swap(i0, i1);
                lo = std::max(lo, std::floor(i0) - 1.0);
                hi = std::min(hi, std::ceil(i1) + 1.0);
            }
            long first = long(std::max(0.0, lo)), last = long(std::min(double(usedW), std::max(hi, 0.0)));
            if (first > last)
                first = last;
            while (first < last && !inside(first))
                ++first;
            while (last > first && !inside(last - 1))
                --last;
            std::fill(row, row + first, outside);
            if (ex.y == 0.0 && ex.z == 0.0 && first < last) {
                // A row along the volume's x axis (the axial and coronal views): one voxel row.
                const T* line = voxels + (std::size_t(unsigned(r.z)) * ny + unsigned(r.y)) * nx;
                for (long i = first; i < last; ++i)
                    row[i] = texel(line[unsigned(r.x + i * ex.x)]);
            } else {
                for (long i = first; i < last; ++i) {
                    const unsigned ix = unsigned(r.x + i * ex.x), iy = unsigned(r.y + i * ex.y),
                                   iz = unsigned(r.z + i * ex.z);
                    row[i] = texel(voxels[(std::size_t(iz) * ny + iy) * nx + ix]);
                }
            }
            std::fill(row + last, row + usedW, outside);
            if (rowLength > usedW)
                row[usedW] = row[usedW - 1];
        }
    }

    const std::uint16_t* getBuffer() const { return buffer_; }

private:
    static double snap(double x)
    {
        const double r = std::round(x);
        return std::abs(x - r) < 1e-6 ? r : x;
    }

    std::uint16_t texel(T value) const
    {
        if constexpr (sizeof(T) <= 2 && std::is_integral_v<T>)
            return lookup_[std::size_t(value) - std::size_t(std::numeric_limits<T>::min())];
        else
            return function_.texel(value);
    }

    // The whole range of a small voxel type through the function, made again when it changes.
    void updateLookup()
    {
        if constexpr (sizeof(T) <= 2 && std::is_integral_v<T>) {
            if (!lookup_.empty() && lookupKey_ == function_.key())
                return;
            const std::size_t count = std::size_t(1) << (8 * sizeof(T));
            lookup_.resize(count);
            for (std::size_t i = 0; i < count; ++i)
                lookup_[i] = function_.texel(T(std::ptrdiff_t(i) + std::numeric_limits<T>::min()));
            lookupKey_ = function_.key();
        }
    }

    void reserve(std::size_t texels)
    {
        if (texels <= capacity_ && buffer_)
            return;
        owned_.reset(new std::uint16_t[texels]);
        buffer_ = owned_.get();
        capacity_ = texels;
    }

    std::shared_ptr<TextureCacheEntry> findCachedTexture(const Layout& layout, const Matrix44<double>& frame,
                                                         const Size2<double>& size, const GlContextKey& context)
    {
        dropDeadContexts();
        const Key key = function_.key();
        for (const auto& entry : cache_)
            if (entry->size == layout.size && isEqual(entry->frame, frame, 0.001) && entry->sliceSize == size &&
                entry->context == context && entry->key == key)
                return entry;
        return nullptr;
    }

    // Room is made first, so the cache never holds more than its limits.
    void addCachedTexture(std::shared_ptr<TextureCacheEntry> entry)
    {
        while (!cache_.empty() && (cache_.size() + 1 > limit_ || cachedBytes_ + entry->bytes() > byteLimit_)) {
            cachedBytes_ -= cache_.back()->bytes();
            cache_.pop_back();
        }
        cachedBytes_ += entry->bytes();
        cache_.push_front(std::move(entry));
        peakBytes_ = std::max(peakBytes_, cachedBytes_);
    }

    // Oldest first, down to the limits; the newest stays even when it alone is too large.
    void trim()
    {
        while (cache_.size() > 1 && (cache_.size() > limit_ || cachedBytes_ > byteLimit_)) {
            cachedBytes_ -= cache_.back()->bytes();
            cache_.pop_back();
        }
        if (limit_ == 0 && !cache_.empty()) {
            // A view that has no slices keeps none.
            cachedBytes_ = 0;
            cache_.clear();
        }
    }

    // Textures of a destroyed context went with it.
    void dropDeadContexts()
    {
        for (auto it = cache_.begin(); it != cache_.end();)
            if (!(*it)->context.isAlive()) {
                cachedBytes_ -= (*it)->bytes();
                it = cache_.erase(it);
            } else {
                ++it;
            }
    }

    std::shared_ptr<Volume> volume_;
    Function function_;
    std::uint16_t* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::unique_ptr<std::uint16_t[]> owned_;
    std::list<std::shared_ptr<TextureCacheEntry>> cache_;
    std::shared_ptr<TextureCacheEntry> uncached_;
    unsigned limit_ = defaultCacheLimit;
    std::size_t byteLimit_ = defaultByteLimit;
    std::size_t cachedBytes_ = 0;
    std::size_t peakBytes_ = 0;
    std::vector<std::uint16_t> lookup_;
    Key lookupKey_{};
};

}
