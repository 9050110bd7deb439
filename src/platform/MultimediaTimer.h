#pragma once
// Stand-in for the Windows multimedia timer (timeSetEvent, timeKillEvent, timeGetTime): every
// timer runs its callback in a thread of its own, scheduled on std::chrono::steady_clock.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace Platform {

using TimerCallback = std::function<void()>;

// Event types, with the values of the original interface.
constexpr unsigned TIME_ONESHOT = 0;
constexpr unsigned TIME_PERIODIC = 1;

// Starts a timer that calls `callback` after `delayMs` milliseconds and, for a periodic one,
// every `delayMs` milliseconds after that (1 ms resolution; ticks that fall behind are skipped
// rather than run in a burst). Ticks of one timer never overlap. Returns the timer's id, or 0
// when the arguments cannot make a timer (zero delay, no callback, unknown event type).
// `resolutionMs` is accepted for the original signature; the resolution is always 1 ms.
unsigned timeSetEvent(unsigned delayMs, unsigned resolutionMs, TimerCallback callback, unsigned eventType);

// Ends the timer: no tick starts after this returns, and a tick that is running is waited for,
// except when the call comes from that very tick (the tick then simply finishes). A one-shot
// timer must be killed as well once it has fired, to release its thread. False for an
// unknown id.
bool timeKillEvent(unsigned id);

// Milliseconds since the process started, as an unsigned 32-bit count that wraps after
// about 49.7 days (differences of two readings stay right across the wrap).
std::uint32_t timeGetTime();

// How many ticks ended with an exception. Such an exception is reported to the debug output
// and swallowed: nothing may leave a timer thread.
std::size_t failedTimerTicks();

}
