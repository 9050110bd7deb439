// Feeds arbitrary bytes to the SFFBin reader. Whatever it accepts must be a consistent mesh
// that writes and reads back unchanged.
#include "vexa/mesh/MeshFiles.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    auto mesh = Vexa::readSFFBinStream(in);
    if (!mesh)
        return 0;
    if (mesh->getNormals().size() != mesh->getVertices().size())
        std::abort();
    for (unsigned index : mesh->getTriangles())
        if (index >= mesh->getVertexCount())
            std::abort();

    std::ostringstream out;
    Vexa::writeSFFBinStream(*mesh, out);
    std::istringstream back(out.str());
    auto again = Vexa::readSFFBinStream(back);
    if (!again || again->getTriangles() != mesh->getTriangles() ||
        again->getVertexCount() != mesh->getVertexCount())
        std::abort();
    std::ostringstream out2;
    Vexa::writeSFFBinStream(*again, out2);
    if (out2.str() != out.str())
        std::abort();
    return 0;
}
