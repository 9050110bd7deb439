#include "vexa/mesh/MeshFiles.h"

#include "vexa/io/AtomicFile.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vexa {

namespace {

constexpr char sffMagic[8] = {'S', 'F', 'F', 'B', 'I', 'N', '\0', '\0'};
constexpr std::uint32_t sffVersion = 1;
constexpr std::uint32_t sffNormalsFlag = 1;
constexpr std::size_t sffHeaderBytes = 24;
constexpr std::size_t stlHeaderBytes = 80;
constexpr std::size_t stlFacetBytes = 50;

std::uint32_t decodeU32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

float decodeF32(const unsigned char* p)
{
    return std::bit_cast<float>(decodeU32(p));
}

void encodeU32(std::string& out, std::uint32_t v)
{
    const char bytes[4] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff), char((v >> 24) & 0xff)};
    out.append(bytes, 4);
}

void encodeF32(std::string& out, double v)
{
    encodeU32(out, std::bit_cast<std::uint32_t>(static_cast<float>(v)));
}

// Bytes from the current position to the end, when the stream can tell.
std::optional<std::uint64_t> remainingBytes(std::istream& in)
{
    const auto position = in.tellg();
    if (position == std::streampos(-1))
        return std::nullopt;
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    in.clear();
    in.seekg(position);
    if (end == std::streampos(-1) || !in || end < position)
        return std::nullopt;
    return static_cast<std::uint64_t>(end - position);
}

// Reads exactly n bytes in bounded chunks, so that a count in a header never allocates more
// than the data actually present. False when the stream ends first.
bool readExactly(std::istream& in, std::vector<unsigned char>& out, std::uint64_t n)
{
    out.clear();
    constexpr std::uint64_t chunk = 1 << 20;
    while (out.size() < n) {
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, n - out.size()));
        const std::size_t old = out.size();
        out.resize(old + step);
        in.read(reinterpret_cast<char*>(out.data() + old), static_cast<std::streamsize>(step));
        if (static_cast<std::size_t>(in.gcount()) != step)
            return false;
    }
    return true;
}

Vector3D unitOrZero(const Vector3D& v)
{
    const double length = v.length();
    return length > 0.0 && std::isfinite(length) ? v * (1.0 / length) : Vector3D();
}

}

std::shared_ptr<IndexedTriangleMesh> readSFFBinStream(std::istream& in)
{
    try {
        std::vector<unsigned char> header;
        if (!readExactly(in, header, sffHeaderBytes) || std::memcmp(header.data(), sffMagic, 8) != 0)
            return nullptr;
        if (decodeU32(header.data() + 8) != sffVersion)
            return nullptr;
        const std::uint64_t vertexCount = decodeU32(header.data() + 12);
        const std::uint64_t triangleCount = decodeU32(header.data() + 16);
        const bool hasNormals = (decodeU32(header.data() + 20) & sffNormalsFlag) != 0;
        const std::uint64_t vertexBytes = vertexCount * 12 * (hasNormals ? 2 : 1);
        const std::uint64_t needed = vertexBytes + triangleCount * 12;
        if (const auto remaining = remainingBytes(in); remaining && *remaining < needed)
            return nullptr;
        std::vector<unsigned char> body;
        if (!readExactly(in, body, needed))
            return nullptr;

        // Every element is written below (the normals as zero when the file has none).
        MeshArray<double> vertices(vertexCount * 3), normals(vertexCount * 3, 0.0);
        const unsigned char* p = body.data();
        for (double& v : vertices) {
            v = decodeF32(p);
            p += 4;
        }
        if (hasNormals) {
            for (double& n : normals) {
                n = decodeF32(p);
                p += 4;
            }
        }
        MeshArray<unsigned> triangles(triangleCount * 3);
        for (unsigned& index : triangles) {
            index = decodeU32(p);
            p += 4;
            if (index >= vertexCount)
                return nullptr;
        }
        auto mesh = std::make_shared<IndexedTriangleMesh>();
        mesh->setData(std::move(vertices), std::move(normals), std::move(triangles));
        if (!hasNormals)
            mesh->recomputeNormals();
        return mesh;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<IndexedTriangleMesh> readSFFBinFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return nullptr;
    return readSFFBinStream(in);
}

void writeSFFBinStream(const IndexedTriangleMesh& mesh, std::ostream& out)
{
    const std::size_t vertexCount = mesh.getVertexCount(), triangleCount = mesh.getTriangleCount();
    if (vertexCount > std::numeric_limits<std::uint32_t>::max() ||
        triangleCount > std::numeric_limits<std::uint32_t>::max())
        throw std::runtime_error("could not write SFFBin stream");
    std::string bytes(sffMagic, sizeof sffMagic);
    bytes.reserve(sffHeaderBytes + vertexCount * 24 + triangleCount * 12);
    encodeU32(bytes, sffVersion);
    encodeU32(bytes, static_cast<std::uint32_t>(vertexCount));
    encodeU32(bytes, static_cast<std::uint32_t>(triangleCount));
    encodeU32(bytes, sffNormalsFlag);
    for (double v : mesh.getVertices())
        encodeF32(bytes, v);
    for (double n : mesh.getNormals())
        encodeF32(bytes, n);
    for (unsigned index : mesh.getTriangles())
        encodeU32(bytes, index);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("could not write SFFBin stream");
}

void writeSFFBinFile(const IndexedTriangleMesh& mesh, const std::string& file)
{
    const std::string failure = "could not write SFFBin file " + file;
    std::ostringstream buffer;
    try {
        writeSFFBinStream(mesh, buffer);
    } catch (const std::runtime_error&) {
        throw std::runtime_error(failure);
    }
    const std::string bytes = buffer.str();
    // The old file stays intact until the new one is complete; the cause goes along.
    try {
        AtomicFile::writeFile(file, bytes);
    } catch (const WriteError& e) {
        throw WriteError(e.path(), e.error(), failure);
    }
}

std::shared_ptr<IndexedTriangleMesh> readSTLStream(std::istream& in, bool mergeVertices)
{
    auto mesh = std::make_shared<IndexedTriangleMesh>();
    try {
        std::vector<unsigned char> header;
        if (!readExactly(in, header, stlHeaderBytes + 4))
            return mesh;
        const std::uint64_t facetCount = decodeU32(header.data() + stlHeaderBytes);
        const std::uint64_t needed = facetCount * stlFacetBytes;
        if (const auto remaining = remainingBytes(in); remaining && *remaining < needed)
            return mesh;
        std::vector<unsigned char> body;
        // A file shorter than its count (a truncated copy, or ASCII STL read as binary) is
        // not trusted for any of its facets.
        if (facetCount == 0 || !readExactly(in, body, needed))
            return mesh;

        std::vector<double> vertices, normals;
        std::vector<unsigned> triangles;
        triangles.reserve(facetCount * 3);
        if (!mergeVertices) {
            vertices.reserve(facetCount * 9);
            normals.reserve(facetCount * 9);
        }
        struct KeyHash
        {
            std::size_t operator()(const std::array<std::uint32_t, 3>& k) const
            {
                return std::hash<std::uint64_t>()((std::uint64_t(k[0]) << 32 | k[1]) ^ (std::uint64_t(k[2]) * 0x9e3779b97f4a7c15ull));
            }
        };
        std::unordered_map<std::array<std::uint32_t, 3>, unsigned, KeyHash> merged;
        std::vector<double> storedNormalSums;

        for (std::uint64_t f = 0; f < facetCount; ++f) {
            const unsigned char* p = body.data() + f * stlFacetBytes;
            const Vector3D stored(decodeF32(p), decodeF32(p + 4), decodeF32(p + 8));
            Vector3D corner[3];
            std::array<std::uint32_t, 3> key[3];
            for (int k = 0; k < 3; ++k) {
                float c[3];
                for (int i = 0; i < 3; ++i) {
                    c[i] = decodeF32(p + 12 + 12 * k + 4 * i);
                    // One NaN or infinity would spoil the bounds and everything measured on them.
                    if (!std::isfinite(c[i]))
                        throw std::runtime_error("STL mesh: corner " + std::to_string(k + 1) + " of facet " +
                                                 std::to_string(f + 1) + " is not a finite point");
                    // -0 and +0 are the same position.
                    key[k][i] = c[i] == 0.0f ? 0u : std::bit_cast<std::uint32_t>(c[i]);
                }
                corner[k] = Vector3D(c[0], c[1], c[2]);
            }
            const Vector3D cross = (corner[1] - corner[0]).cross(corner[2] - corner[0]);
            Vector3D facetNormal = unitOrZero(stored);
            if (facetNormal == Vector3D())
                facetNormal = unitOrZero(cross);
            for (int k = 0; k < 3; ++k) {
                if (!mergeVertices) {
                    triangles.push_back(static_cast<unsigned>(vertices.size() / 3));
                    vertices.insert(vertices.end(), {corner[k].x, corner[k].y, corner[k].z});
                    normals.insert(normals.end(), {facetNormal.x, facetNormal.y, facetNormal.z});
                    continue;
                }
                auto [it, inserted] = merged.try_emplace(key[k], static_cast<unsigned>(vertices.size() / 3));
                if (inserted) {
                    vertices.insert(vertices.end(), {corner[k].x, corner[k].y, corner[k].z});
                    normals.insert(normals.end(), {0.0, 0.0, 0.0});
                    storedNormalSums.insert(storedNormalSums.end(), {0.0, 0.0, 0.0});
                }
                const std::size_t v = 3 * std::size_t(it->second);
                // Area-weighted: the cross product's length is twice the facet's area.
                if (std::isfinite(cross.length())) {
                    normals[v] += cross.x;
                    normals[v + 1] += cross.y;
                    normals[v + 2] += cross.z;
                }
                storedNormalSums[v] += facetNormal.x;
                storedNormalSums[v + 1] += facetNormal.y;
                storedNormalSums[v + 2] += facetNormal.z;
                triangles.push_back(it->second);
            }
        }
        if (mergeVertices) {
            for (std::size_t v = 0; v < normals.size(); v += 3) {
                Vector3D n = unitOrZero(Vector3D(normals[v], normals[v + 1], normals[v + 2]));
                if (n == Vector3D()) // only degenerate facets meet here
                    n = unitOrZero(Vector3D(storedNormalSums[v], storedNormalSums[v + 1], storedNormalSums[v + 2]));
                normals[v] = n.x;
                normals[v + 1] = n.y;
                normals[v + 2] = n.z;
            }
        }
        mesh->setData(std::move(vertices), std::move(normals), std::move(triangles));
        return mesh;
    } catch (const std::bad_alloc&) {
        return std::make_shared<IndexedTriangleMesh>();
    }
}

std::shared_ptr<IndexedTriangleMesh> readSTLFile(const std::string& file, bool mergeVertices)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::make_shared<IndexedTriangleMesh>();
    try {
        return readSTLStream(in, mergeVertices);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(file + ": " + error.what());
    }
}

}
