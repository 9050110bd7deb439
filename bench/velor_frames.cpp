// Frames taken from Velor device bytes as the reader thread takes them, in 512-byte reads:
// 1 MB and 8 MB of position frames mixed with garbage (stray STX and ETX bytes, broken
// frames), against a memchr scan for ETX over the same bytes in the same run.
// Counters: MB_per_s of the extractor over 8 MB, memchr_MB_per_s, ratio_8_to_1 (the time of
// 8 MB over the time of 1 MB). Targets: at least 50 MB/s; the ratio at most 9.
#include "navigation/Velor.h"
#include "navigation/VelorFrameExtractor.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string mixedBytes(std::size_t size)
{
    std::mt19937 random(7);
    std::string bytes;
    bytes.reserve(size + 4096);
    char payload[128];
    while (bytes.size() < size) {
        const unsigned kind = random() % 10;
        if (kind < 7) {
            std::snprintf(payload, sizeof payload, "0 %u %u 0 %.2f %.2f %.2f 0 0 0 %.3f %.3f %.3f 0 0 0 0 0",
                          static_cast<unsigned>(random()), static_cast<unsigned>(random() % 4), random() % 1000 / 7.0,
                          random() % 1000 / 3.0, 1000 + random() % 500 / 9.0, random() % 360 * 0.5,
                          random() % 360 * 0.5, random() % 360 * 0.5);
            bytes += Vexa::Velor::buildFrame("MPD", payload);
        } else if (kind < 9) {
            for (unsigned i = random() % 40; i > 0; --i)
                bytes += "\x02\x03xyz 0123"[random() % 10];
        } else {
            const std::string frame = Vexa::Velor::buildFrame("MPD", "5 1 0 0");
            bytes += frame.substr(0, random() % frame.size());
        }
    }
    return bytes;
}

double extract(const std::string& bytes, std::size_t size, std::size_t& frames)
{
    Vexa::VelorFrameExtractor extractor;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < size; at += 512)
        extractor.append(bytes.data() + at, std::min<std::size_t>(512, size - at),
                         [&](std::string_view, std::string_view) { ++frames; });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double scan(const std::string& bytes, std::size_t size, std::size_t& hits)
{
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < size; at += 512) {
        const char* p = bytes.data() + at;
        const char* end = p + std::min<std::size_t>(512, size - at);
        while ((p = static_cast<const char*>(std::memchr(p, 0x03, end - p)))) {
            ++hits;
            ++p;
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void VelorFrames(benchmark::State& state)
{
    constexpr std::size_t megabyte = 1 << 20;
    const std::string bytes = mixedBytes(8 * megabyte);
    double one = 0, eight = 0, memchrTime = 0;
    std::size_t frames = 0, hits = 0;
    for (auto _ : state) {
        one += extract(bytes, megabyte, frames);
        eight += extract(bytes, 8 * megabyte, frames);
        memchrTime += scan(bytes, 8 * megabyte, hits);
    }
    benchmark::DoNotOptimize(frames + hits);
    const double n = static_cast<double>(state.iterations());
    state.counters["MB_per_s"] = 8.0 * n / eight;
    state.counters["memchr_MB_per_s"] = 8.0 * n / memchrTime;
    state.counters["ratio_8_to_1"] = eight / one;
    state.counters["frames_per_8MB"] = static_cast<double>(frames) / n * 8.0 / 9.0;
}
BENCHMARK(VelorFrames)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}
