// Velor frames come from a device on a wire: any bytes, cut anywhere, must frame and check
// without touching memory out of bounds, and every device message handler must take any
// payload, also one whose counts outrun it.
#include "navigation/Velor.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    static const char* ids[] = {"MHI", "MAP", "MRS", "MPD", "MSM", "MFE", "MOD", "MTF", "MNA",
                                "MXI", "MLD", "MSS", "MVN", "MAI", "MIC", "MER", "MZZ"};
    // The whole input as the payload of one message.
    const std::string_view payload(reinterpret_cast<const char*>(data + 2), size - 2);
    const auto message = Vexa::Velor::interpret(ids[data[0] % 17], payload);
    if (message.tool >= 0 && !message.position)
        std::abort();
    // The input as a byte stream in reads of up to 512 bytes.
    const std::size_t chunk = 1 + data[1] % 512;
    Vexa::VelorFrameExtractor extractor;
    for (std::size_t at = 2; at < size; at += chunk)
        extractor.append(reinterpret_cast<const char*>(data + at), std::min(chunk, size - at),
                         [](std::string_view id, std::string_view body) {
                             if (id.size() != 3 || body.size() > Vexa::VelorFrameExtractor::capacity)
                                 std::abort();
                             Vexa::Velor::interpret(id, body);
                         });
    return 0;
}
