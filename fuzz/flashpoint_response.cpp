// FlashPoint responses come from a device on a wire: any text must parse into samples without
// touching memory out of bounds, and a visible sample is always a finite rigid pose.
#include "navigation/FlashPoint.h"
#include "navigation/Tracker.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<std::shared_ptr<Vexa::Tracker>> trackers{
        std::make_shared<Vexa::Tracker>(std::vector<Vexa::Vector3D>{{0, 0, 0}, {50, 0, 0}, {10, 30, 0}}, false,
                                        std::vector<int>{5, 6, 7}, 3),
        std::make_shared<Vexa::Tracker>(std::vector<Vexa::Vector3D>{{0, 0, 0}, {40, 0, 0}, {0, 40, 0}}, false,
                                        std::vector<int>{1, 51, 15}, 4)};
    const std::string response(reinterpret_cast<const char*>(data), size);
    Vexa::FlashPoint::parseRecord(response);
    for (const auto& sample : Vexa::FlashPoint::samplesFromResponse(response, trackers)) {
        if (!sample.isVisible())
            continue;
        const auto m = sample.getTransform();
        for (int i = 0; i < 16; ++i)
            if (!std::isfinite(m[i]))
                std::abort();
    }
    return 0;
}
