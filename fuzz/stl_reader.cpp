// Feeds arbitrary bytes to the binary STL reader, with and without vertex merging. It must
// always give a consistent mesh; merging may only share vertices, never change the facets.
#include "vexa/mesh/MeshFiles.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in1(bytes), in2(bytes);
    auto separate = Vexa::readSTLStream(in1, false);
    auto merged = Vexa::readSTLStream(in2, true);
    if (!separate || !merged)
        std::abort();
    if (separate->getTriangleCount() != merged->getTriangleCount() ||
        separate->getVertexCount() != 3 * separate->getTriangleCount() ||
        merged->getVertexCount() > separate->getVertexCount())
        std::abort();
    for (auto* mesh : {separate.get(), merged.get()}) {
        if (mesh->getNormals().size() != mesh->getVertices().size())
            std::abort();
        for (unsigned index : mesh->getTriangles())
            if (index >= mesh->getVertexCount())
                std::abort();
    }
    // A facet's corners are the same positions either way.
    const auto& ts = separate->getTriangles();
    const auto& tm = merged->getTriangles();
    for (std::size_t i = 0; i < ts.size(); ++i) {
        const auto a = separate->getVertex(ts[i]), b = merged->getVertex(tm[i]);
        if (!(a == b) && !(a.x != a.x || a.y != a.y || a.z != a.z))
            std::abort();
    }
    return 0;
}
