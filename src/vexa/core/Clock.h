#pragma once
// The millisecond clock of the navigation and the render timing.
#include <cstdint>

namespace Vexa {

// Milliseconds since the process started as an unsigned 32-bit count; it wraps, so durations
// are taken as unsigned differences of two readings.
std::uint32_t timeGetTime();

}
