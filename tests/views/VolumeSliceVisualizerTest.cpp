// Slice textures: the texel buffer against a numpy oracle, and the texture cache in real GL
// contexts of two widgets.
#include "ViewTestSupport.h"

#include "views/slice/GlTextures.h"
#include "views/slice/VolumeSliceVisualizer.h"

#include <QOpenGLWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <fstream>
#include <random>

namespace {

using Visualizer = Vexa::VolumeSliceVisualizer<unsigned short>;
using Vexa::Matrix44;
using Vexa::Vector3D;

std::string matrixJson(const Matrix44<double>& m)
{
    std::string s = "[";
    for (int i = 0; i < 16; ++i) {
        if (i)
            s += ',';
        s += std::to_string(m[i]);
    }
    return s + "]";
}

Matrix44<double> rotation(std::mt19937& rng, const Vector3D& translation)
{
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    return Matrix44<double>(Vector3D(angle(rng), angle(rng) / 2, angle(rng)), translation);
}

}

// Random phantoms, axial and oblique frames, a rotated volume and three windows (a narrow one
// under voxels far above it, and a flat one): every used texel equals the oracle's nearest
// sample, alpha is opaque and each row's last texel is repeated once.
TEST(VolumeSliceVisualizer, TexelsEqualNearestSamplingOracle)
{
    std::mt19937 rng(20261207);
    QTemporaryDir dir;
    struct Case { bool oblique; bool rotatedVolume; int low, high; };
    const Case cases[] = {{false, false, 0, 4095}, {true, false, 0, 4095}, {true, true, 100, 2000},
                          {false, false, 1000, 1100}, {true, false, 500, 500}};
    int n = 0;
    for (const Case& c : cases) {
        std::uniform_int_distribution<unsigned> dim(17, 41);
        std::uniform_real_distribution<double> spacing(0.3, 0.9);
        auto volume = std::make_shared<Vexa::VolumeData<unsigned short>>(dim(rng), dim(rng), dim(rng), spacing(rng),
                                                                          spacing(rng), spacing(rng));
        std::uniform_int_distribution<int> value(0, 4095), metal(0, 19);
        for (std::size_t i = 0; i < volume->getVoxelCount(); ++i)
            volume->getVoxels()[i] = metal(rng) == 0 ? 14000 + value(rng) : value(rng);
        const Vector3D extent = volume->getExtent();
        if (c.rotatedVolume) {
            // World to volume millimetres: turn about the volume's centre.
            Matrix44<double> t = rotation(rng, Vector3D());
            t.setTranslation(extent * 0.5 - t.rotate(extent * 0.5));
            volume->setTransform(t);
        }
        Matrix44<double> frame(Vector3D(1, 0, 0), Vector3D(0, -1, 0), Vector3D(0, 0, -1),
                               Vector3D(0, extent.y - 0.001, extent.z * 0.4));
        Vexa::Size2<double> size(extent.x, extent.y);
        if (c.oblique) {
            frame = rotation(rng, Vector3D());
            frame.setTranslation(extent * 0.5 - frame.rotate(Vector3D(extent.x * 0.6, extent.y * 0.6, 0.0)));
            size = Vexa::Size2<double>(extent.x * 1.2, extent.y * 1.1);
        }
        Visualizer visualizer(volume);
        visualizer.getFunction().setWindow(c.low, c.high);
        const auto layout = visualizer.computeTextureSize(frame, size, 4096);
        std::vector<std::uint16_t> buffer(std::size_t(layout.size.width) * layout.size.height, 0);
        visualizer.fillTextureBuffer(frame, size, layout, buffer.data());

        const std::string base = dir.filePath(QString::number(n++)).toStdString();
        std::ofstream(base + ".raw", std::ios::binary)
            .write(reinterpret_cast<const char*>(volume->getVoxels()), std::streamsize(volume->getVoxelCount() * 2));
        std::ofstream(base + ".json") << "{\"raw\":\"" << base << ".raw\",\"dims\":[" << volume->getDimX() << ","
                                      << volume->getDimY() << "," << volume->getDimZ() << "],\"spacing\":["
                                      << volume->getSpacingX() << "," << volume->getSpacingY() << ","
                                      << volume->getSpacingZ() << "],\"transform\":"
                                      << matrixJson(volume->getTransform()) << ",\"frame\":" << matrixJson(frame)
                                      << ",\"width\":" << size.width << ",\"height\":" << size.height
                                      << ",\"used_w\":" << layout.used.width << ",\"used_h\":" << layout.used.height
                                      << ",\"low\":" << c.low << ",\"high\":" << c.high << "}";
        QProcess oracle;
        oracle.start("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tools/views_oracle.py", "sample",
                                          QString::fromStdString(base + ".json"), QString::fromStdString(base + ".out")});
        ASSERT_TRUE(oracle.waitForFinished(60000));
        ASSERT_EQ(oracle.exitCode(), 0) << oracle.readAllStandardError().toStdString();
        std::ifstream in(base + ".out", std::ios::binary);
        std::vector<unsigned char> expected(std::size_t(layout.used.width) * layout.used.height);
        in.read(reinterpret_cast<char*>(expected.data()), std::streamsize(expected.size()));

        unsigned mismatches = 0, white = 0;
        for (unsigned j = 0; j < layout.used.height; ++j) {
            const std::uint16_t* row = &buffer[std::size_t(j) * layout.size.width];
            for (unsigned i = 0; i < layout.used.width; ++i) {
                mismatches += (row[i] & 0xFF) != expected[std::size_t(j) * layout.used.width + i] || (row[i] >> 8) != 255;
                white += (row[i] & 0xFF) == 255;
            }
            if (layout.size.width > layout.used.width) {
                EXPECT_EQ(row[layout.used.width], row[layout.used.width - 1]);
            }
        }
        EXPECT_EQ(mismatches, 0u) << "case " << n - 1;
        // Metal in a narrow window shows white, not wrapped round to black.
        if (c.low == 1000) {
            EXPECT_GT(white, layout.used.width * layout.used.height / 2);
        }
    }
}

TEST(VolumeSliceVisualizer, TextureSizes)
{
    auto volume = std::make_shared<Vexa::VolumeData<unsigned short>>(300, 300, 10, 0.4, 0.4, 0.4);
    Visualizer visualizer(volume);
    const Matrix44<double> axial;
    // 100 mm at 0.4 mm: 250 texels in a 256 texture.
    auto layout = visualizer.computeTextureSize(axial, {100.0, 0.1}, 8192);
    EXPECT_EQ(layout.size.width, 256u);
    EXPECT_EQ(layout.used.width, 250u);
    EXPECT_DOUBLE_EQ(layout.extentS, 250.0 / 256.0);
    EXPECT_EQ(layout.size.height, 1u);
    // Larger than the GL limit: clamped, with a coarser step.
    layout = visualizer.computeTextureSize(axial, {1.0e5, 50.0}, 1024);
    EXPECT_EQ(layout.size.width, 1024u);
    EXPECT_EQ(layout.used.width, 1024u);
    // Whole voxels never gain a texel through rounding (256 x 0.35 mm).
    auto sample = std::make_shared<Vexa::VolumeData<unsigned short>>(256, 256, 1, 0.35, 0.35, 0.35);
    layout = Visualizer(sample).computeTextureSize(axial, {256 * 0.35, 256 * 0.35}, 8192);
    EXPECT_EQ(layout.size.width, 256u);
    EXPECT_EQ(layout.used.width, 256u);
}

// Two widgets share one visualizer, as cloned views share nothing but the GL objects' owner:
// every texture is made and deleted in the context it belongs to.
TEST(VolumeSliceVisualizer, CacheKeepsTexturesPerContextAndWithinItsLimits)
{
    REQUIRE_DISPLAY();
    auto volume = ViewTest::makeVolume(64, 64, 64, 0.5, 1000);
    auto visualizer = Visualizer::create(volume);
    QOpenGLWidget a, b;
    a.resize(32, 32);
    b.resize(32, 32);
    a.move(ViewTest::windowPlace);
    b.move(ViewTest::windowPlace + QPoint(40, 0));
    a.show();
    b.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&a));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&b));
    const auto slice = [](int k) {
        return Vexa::Slice::create(Matrix44<double>(Vector3D(0, 0, 0.5 * k + 0.25)), {32.0, 32.0});
    };
    a.makeCurrent();
    const auto generated0 = GlTextures::generated(), deleted0 = GlTextures::deleted();
    unsigned first = 0;
    for (int k = 0; k < 10; ++k) {
        const unsigned name = visualizer->createTexture(slice(k)).name;
        if (k == 0)
            first = name;
    }
    EXPECT_EQ(GlTextures::generated() - generated0, 10u);
    EXPECT_EQ(visualizer->getCachedTextureCount(), 10u);
    EXPECT_TRUE(glIsTexture(first));
    // Hits upload nothing.
    visualizer->createTexture(slice(9));
    EXPECT_EQ(GlTextures::generated() - generated0, 10u);
    // The 11th evicts the oldest, deleted in a's context.
    b.makeCurrent();
    a.makeCurrent();
    visualizer->createTexture(slice(10));
    EXPECT_EQ(GlTextures::deleted() - deleted0, 1u);
    EXPECT_EQ(GlTextures::lastDeletionContext().context(), a.context());
    EXPECT_FALSE(glIsTexture(first));

    // The same slice in b's context is another texture.
    b.makeCurrent();
    visualizer->createTexture(slice(10));
    EXPECT_EQ(GlTextures::generated() - generated0, 12u);
    // A window change misses; going back hits while the texture is still cached.
    visualizer->getFunction().setWindow(100, 1100);
    visualizer->createTexture(slice(10));
    visualizer->getFunction().setWindow(100, 2000);
    visualizer->createTexture(slice(10));
    EXPECT_EQ(GlTextures::generated() - generated0, 14u);
    visualizer->getFunction().setWindow(100, 1100);
    visualizer->createTexture(slice(10));
    EXPECT_EQ(GlTextures::generated() - generated0, 14u);

    // The byte cap and a lowered limit evict at once, each texture in its own context.
    const std::size_t one = 64 * 64 * 2;
    visualizer->setTextureByteLimit(3 * one);
    EXPECT_EQ(visualizer->getCachedTextureCount(), 3u);
    EXPECT_LE(visualizer->getCachedTextureBytes(), 3 * one);
    visualizer->setTextureCacheLimit(1);
    EXPECT_EQ(visualizer->getCachedTextureCount(), 1u);
    EXPECT_EQ(GlTextures::generated() - GlTextures::deleted(), generated0 - deleted0 + 1);

    // Oversized slices are clamped to what GL takes.
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    while (glGetError() != GL_NO_ERROR) {
    }
    const auto huge = visualizer->createTexture(Vexa::Slice::create(Matrix44<double>(), {1.0e6, 10.0}));
    EXPECT_NE(huge.name, 0u);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    GLint width = 0;
    glBindTexture(GL_TEXTURE_2D, huge.name);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    EXPECT_EQ(width, maxSize);

    visualizer->clearTextureCache();
    EXPECT_EQ(GlTextures::generated() - GlTextures::deleted(), generated0 - deleted0);
    b.doneCurrent();
}
