// Polaris replies come from a device on a wire: any bytes, cut anywhere, must frame, check
// and parse without touching memory out of bounds, and a parsed reply must stay in bounds.
#include "navigation/Polaris.h"
#include "platform/LineFramer.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int groups = data[0] % 5;
    const std::size_t chunk = 1 + data[1] % 64;
    Platform::LineFramer framer;
    std::string reply;
    for (std::size_t at = 2; at < size; at += chunk) {
        const std::size_t n = std::min(chunk, size - at);
        framer.append(reinterpret_cast<const char*>(data + at), n);
        while (framer.next('\r', 2047, reply)) {
            if (reply.size() > 2047 || reply.back() != '\r')
                std::abort();
            std::string code;
            Vexa::Polaris::checkReply(reply, &code);
            // The parser also sees replies whose CRC failed, to reach every field.
            const auto parsed = Vexa::Polaris::parseTrackingData(reply, groups);
            if (parsed && (parsed->tools.size() > 3u * groups || parsed->markers.size() * 21 > reply.size()))
                std::abort();
        }
    }
    return 0;
}
