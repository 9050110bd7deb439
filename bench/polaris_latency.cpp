// From a GX reply leaving the device's end of a pseudo-terminal to its sample in the tracker:
// a C++ responder plays the Polaris on the pty master (start-up answers, then 2000 tracking
// replies 5 ms apart, each pose carrying its sequence number), and the time until the
// tracker shows that pose is taken. A bare round of the same bytes through the pty (master
// write to slave read) in the same run is the floor. Target: p99 under 5 ms.
#include "navigation/Polaris.h"
#include "navigation/Tracker.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string frame(const std::string& body)
{
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", Vexa::Polaris::crc16(body));
    return body + crc + "\r";
}

std::string reply(int sequence)
{
    char pose[96];
    std::snprintf(pose, sizeof pose, "+10000+00000+00000+00000%+07d+000000-140000+0010000000000\n", sequence);
    std::string text = "MISSING\nMISSING\nMISSING\n00000000\n";
    text += pose;
    text += "MISSING\nMISSING\n00000000\n";
    for (int g = 1; g < 3; ++g)
        text += "MISSING\nMISSING\nMISSING\n00000000\n";
    return frame(text + "000");
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

// The device's end: start-up answers; after TSTART, `count` replies, noting when each left.
void respond(int master, int slave, speed_t speed, std::atomic<bool>& stop, int count,
             std::vector<Clock::time_point>& sent)
{
    std::string buffer;
    termios t{};
    Clock::time_point resetAt{};
    bool streaming = false;
    int next = 1;
    auto write = [&](const std::string& text) { [[maybe_unused]] auto n = ::write(master, text.data(), text.size()); };
    while (!stop) {
        ::tcgetattr(slave, &t);
        if (::cfgetispeed(&t) != speed) {
            speed = ::cfgetispeed(&t);
            if (speed == B9600)
                resetAt = Clock::now() + std::chrono::milliseconds(600);
        }
        if (resetAt != Clock::time_point{} && Clock::now() >= resetAt) {
            write(frame("RESET"));
            resetAt = {};
        }
        if (streaming && next <= count) {
            sent[next] = Clock::now();
            write(reply(next++));
        }
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, streaming ? 5 : 1) > 0) {
            char data[512];
            const ssize_t n = ::read(master, data, sizeof data);
            if (n > 0)
                buffer.append(data, static_cast<std::size_t>(n));
        }
        for (std::size_t at; (at = buffer.find('\r')) != std::string::npos;) {
            const std::string command = buffer.substr(0, at);
            buffer.erase(0, at + 1);
            if (command.rfind("GX", 0) == 0)
                continue; // polls are answered by the stream
            if (command.rfind("VER", 0) == 0)
                write(frame("Polaris Rev 1"));
            else if (command.rfind("SFLIST", 0) == 0)
                write(frame("3"));
            else
                write(frame("OKAY"));
            if (command.rfind("TSTART", 0) == 0)
                streaming = true;
        }
    }
}

void PolarisLatency(benchmark::State& state)
{
    constexpr int count = 2000;
    for (auto _ : state) {
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            state.SkipWithError("no pseudo-terminal");
            return;
        }
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::tcsetattr(master, TCSANOW, &raw);

        // The floor: the same reply through the pty, master to slave.
        std::vector<double> bare;
        for (int i = 1; i <= count; ++i) {
            const std::string text = reply(i);
            const auto start = Clock::now();
            [[maybe_unused]] auto n = ::write(master, text.data(), text.size());
            std::size_t got = 0;
            char data[4096];
            while (got < text.size()) {
                pollfd p{slave, POLLIN, 0};
                ::poll(&p, 1, 100);
                const ssize_t r = ::read(slave, data, sizeof data);
                if (r > 0)
                    got += static_cast<std::size_t>(r);
            }
            bare.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }

        std::vector<Clock::time_point> sent(count + 1);
        std::atomic<bool> stop{false};
        // The speed is noted before the driver can change it: the reset answers its change to 9600.
        std::thread device(respond, master, slave, ::cfgetispeed(&raw), std::ref(stop), count, std::ref(sent));
        std::vector<double> latency;
        {
            Vexa::Polaris camera(::ttyname(slave));
            std::vector<std::shared_ptr<Vexa::Tracker>> trackers{Vexa::Tracker::create(3)};
            camera.setTracker(trackers);
            camera.startReporting();
            int seen = 0;
            const auto end = Clock::now() + std::chrono::seconds(40);
            while (seen < count && Clock::now() < end) {
                const auto sample = trackers[0]->getTrackerData();
                const int sequence = static_cast<int>(std::lround(sample.getTransform()[12] * 100.0));
                if (sample.isVisible() && sequence > seen && sequence <= count) {
                    latency.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent[sequence]).count());
                    seen = sequence;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            camera.stopReporting();
        }
        stop = true;
        device.join();
        ::close(master);
        ::close(slave);

        state.counters["samples_seen"] = static_cast<double>(latency.size());
        state.counters["latency_p50_ms"] = percentile(latency, 0.5);
        state.counters["latency_p99_ms"] = percentile(latency, 0.99);
        state.counters["bare_pty_p50_ms"] = percentile(bare, 0.5);
        state.counters["bare_pty_p99_ms"] = percentile(bare, 0.99);
        state.counters["p99_ratio"] = percentile(latency, 0.99) / std::max(1e-6, percentile(bare, 0.99));
        state.counters["target_met"] = percentile(latency, 0.99) < 5.0 ? 1 : 0;
    }
}

}

BENCHMARK(PolarisLatency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
