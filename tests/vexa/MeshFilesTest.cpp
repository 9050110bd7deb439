#include "MeshTestSupport.h"
#include "common/TestSupport.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/mesh/MeshFiles.h"

#include <QFile>
#include <QProcess>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <stdexcept>

using namespace Vexa;

namespace {

std::string readBytes(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void putU32(std::string& bytes, std::size_t offset, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((v >> (8 * i)) & 0xff);
}

// Runs the numpy STL writer; empty string on success, otherwise its output.
std::string writeNumpyStl(const std::string& file, int truncateTo = -1)
{
    QStringList args{QString(MORVANTA_SOURCE_DIR) + "/tests/tools/write_binary_stl.py", QString::fromStdString(file)};
    if (truncateTo >= 0)
        args << "--truncate" << QString::number(truncateTo);
    QProcess python;
    python.start("/usr/bin/python3", args);
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return (python.readAllStandardError() + python.readAllStandardOutput()).toStdString() + " (python3-numpy?)";
    return {};
}

}

TEST(SFFBinFile, WritesAndReadsBackBitExact)
{
    TestSupport::ScratchDir dir;
    auto mesh = createEllipsoidMesh(Matrix44<double>(Vector3D(10.1, -3.3, 7.7)), Vector3D(3.3, 5.1, 2.9), 9, 7);
    const std::string file = dir.file("ellipsoid.sff");
    writeSFFBinFile(*mesh, file);

    const std::string bytes = readBytes(file);
    ASSERT_EQ(bytes.size(), 24 + mesh->getVertexCount() * 24 + mesh->getTriangleCount() * 12);
    EXPECT_EQ(bytes.substr(0, 8), std::string("SFFBIN\0\0", 8));
    EXPECT_EQ(bytes.substr(8, 4), std::string("\1\0\0\0", 4));

    auto read = readSFFBinFile(file);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->getTriangles(), mesh->getTriangles());
    ASSERT_EQ(read->getVertices().size(), mesh->getVertices().size());
    for (std::size_t i = 0; i < mesh->getVertices().size(); ++i) {
        EXPECT_EQ(read->getVertices()[i], double(float(mesh->getVertices()[i])));
        EXPECT_EQ(read->getNormals()[i], double(float(mesh->getNormals()[i])));
    }
    // Once in float precision, the file round trip changes no bit.
    const std::string again = dir.file("again.sff");
    writeSFFBinFile(*read, again);
    EXPECT_EQ(readBytes(again), bytes);

    // Without the normals flag the normals are computed.
    std::string noNormals = bytes.substr(0, 24 + mesh->getVertexCount() * 12) +
                            bytes.substr(24 + mesh->getVertexCount() * 24);
    putU32(noNormals, 20, 0);
    std::istringstream in(noNormals);
    auto computed = readSFFBinStream(in);
    ASSERT_TRUE(computed);
    EXPECT_EQ(computed->getTriangleCount(), mesh->getTriangleCount());
    EXPECT_NEAR(computed->getNormal(0).length(), 1.0, 1e-9);
    EXPECT_GT(computed->getNormal(0).z, 0.9); // the north pole

    // An unwritable place gives the documented error and leaves nothing behind.
    try {
        writeSFFBinFile(*mesh, dir.file("missing/folder/x.sff"));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "could not write SFFBin file " + dir.file("missing/folder/x.sff"));
    }
}

TEST(SFFBinFile, RejectsAnythingButAWellFormedFile)
{
    TestSupport::ScratchDir dir;
    auto box = createBoxMesh(Matrix44<double>(), Vector3D(1, 2, 3));
    const std::string file = dir.file("box.sff");
    writeSFFBinFile(*box, file);
    const std::string good = readBytes(file);
    auto rejected = [&](const std::string& bytes) {
        writeBytes(file, bytes);
        return readSFFBinFile(file) == nullptr;
    };
    ASSERT_FALSE(rejected(good));

    std::string wrongMagic = good;
    wrongMagic[3] = 'X';
    EXPECT_TRUE(rejected(wrongMagic));
    std::string wrongVersion = good;
    putU32(wrongVersion, 8, 2);
    EXPECT_TRUE(rejected(wrongVersion));
    for (std::size_t length : {std::size_t(0), std::size_t(7), std::size_t(23), good.size() - 1})
        EXPECT_TRUE(rejected(good.substr(0, length))) << length;
    std::string badIndex = good;
    putU32(badIndex, good.size() - 4, 8);
    EXPECT_TRUE(rejected(badIndex));
    // Counts far beyond the file: refused before anything of that size is allocated.
    std::string hugeCounts = good;
    putU32(hugeCounts, 12, 0xffffffffu);
    putU32(hugeCounts, 16, 0xffffffffu);
    EXPECT_TRUE(rejected(hugeCounts));
    std::istringstream stream(hugeCounts);
    EXPECT_EQ(readSFFBinStream(stream), nullptr);

    EXPECT_EQ(readSFFBinFile(dir.file("does-not-exist.sff")), nullptr);
}

TEST(STLFile, ReadsABinarySTLWrittenByNumpyWithAndWithoutMerging)
{
    TestSupport::ScratchDir dir;
    const std::string file = dir.file("box.stl");
    const std::string failure = writeNumpyStl(file);
    ASSERT_EQ(failure, "");

    auto separate = readSTLFile(file, false);
    ASSERT_TRUE(separate);
    EXPECT_EQ(separate->getTriangleCount(), 12u);
    EXPECT_EQ(separate->getVertexCount(), 36u);
    EXPECT_EQ(separate->getBoundingBox(), (std::array<double, 6>{0, 0, 0, 10, 20, 30}));
    // Every corner's normal (its facet's, or the merged one) is unit and points out of the box.
    const auto expectOutward = [](const IndexedTriangleMesh& mesh) {
        for (unsigned i = 0; i < mesh.getVertexCount(); ++i) {
            EXPECT_NEAR(mesh.getNormal(i).length(), 1.0, 1e-6);
            EXPECT_GT(mesh.getNormal(i).dot(mesh.getVertex(i) - Vector3D(5, 10, 15)), 0.0);
        }
    };
    expectOutward(*separate);

    auto merged = readSTLFile(file, true);
    EXPECT_EQ(merged->getTriangleCount(), 12u);
    EXPECT_EQ(merged->getVertexCount(), 8u);
    EXPECT_EQ(MeshTestSupport::watertightFault(*merged), "");
    EXPECT_NEAR(MeshTestSupport::signedVolume(*merged), 6000.0, 1e-9);
    expectOutward(*merged);

    // The same bytes from memory, as the tracker driver reads its built-in frustum.
    std::istringstream in(readBytes(file));
    EXPECT_EQ(readSTLStream(in, false)->getVertices(), separate->getVertices());
}

TEST(STLFile, TruncatedEmptyOrMissingFilesGiveNoTrianglesAndNonFiniteOnesAreRefused)
{
    TestSupport::ScratchDir dir;
    for (int length : {0, 40, 84, 84 + 49, 84 + 11 * 50 + 49}) {
        const std::string file = dir.file("cut" + std::to_string(length) + ".stl");
        ASSERT_EQ(writeNumpyStl(file, length), "");
        for (bool merge : {false, true}) {
            auto mesh = readSTLFile(file, merge);
            ASSERT_TRUE(mesh) << length;
            EXPECT_EQ(mesh->getTriangleCount(), 0u) << length;
        }
    }
    // A corner that is no finite point is refused with the facet and the file named.
    const std::string nan = dir.file("nan.stl");
    ASSERT_EQ(writeNumpyStl(nan), "");
    std::string nanBytes = readBytes(nan);
    putU32(nanBytes, 84 + 50 + 12 + 12 + 4, 0x7fc00000u); // facet 2, corner 2, y
    writeBytes(nan, nanBytes);
    for (bool merge : {false, true})
        try {
            readSTLFile(nan, merge);
            ADD_FAILURE() << "a NaN corner was accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find("corner 2 of facet 2"), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(nan), std::string::npos) << error.what();
        }

    auto missing = readSTLFile(dir.file("missing.stl"), false);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->getTriangleCount(), 0u);

    // A header announcing four billion facets over one facet's bytes, from a stream whose
    // size can be seen and from one whose size cannot.
    std::string header(84, '\0');
    putU32(header, 80, 0xffffffffu);
    const std::string bytes = header + std::string(50, '\1');
    std::istringstream seekable(bytes);
    EXPECT_EQ(readSTLStream(seekable, true)->getTriangleCount(), 0u);
    struct OneWay : std::streambuf
    {
        explicit OneWay(std::string s) : data(std::move(s)) { setg(data.data(), data.data(), data.data() + data.size()); }
        std::string data;
    } buffer(bytes);
    std::istream oneWay(&buffer);
    EXPECT_EQ(readSTLStream(oneWay, false)->getTriangleCount(), 0u);

    // An ASCII STL is not read as binary garbage.
    const std::string ascii = "solid cube\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n"
                              "   vertex 0 1 0\n  endloop\n endfacet\nendsolid cube\n";
    std::istringstream text(ascii);
    EXPECT_EQ(readSTLStream(text, false)->getTriangleCount(), 0u);
}
