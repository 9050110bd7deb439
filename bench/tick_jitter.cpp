// The period of the main window's navigation tick while the window navigates with the camera
// its settings name (bench/tick-jitter starts a simulated one) and the views repaint, the 3D
// view over the sample patient's bone surface, against a bare steady_clock loop of the same
// period in the same process. Counters in milliseconds; TICK_JITTER_SECONDS sets the length
// of the run (20 s).
#include "BenchApplication.h"

#include "planning/model/Model.h"
#include "platform/ApplicationFolder.h"
#include "shell/main/MainWindow.h"
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Notes the start of every tick before it runs.
class TimedWindow : public MainWindow
{
public:
    TimedWindow() : MainWindow(nullptr, Constants::NormalMode) {}
    std::vector<Clock::time_point> starts()
    {
        std::lock_guard lock(mutex_);
        return starts_;
    }

protected:
    void onTimeExecution() override
    {
        {
            std::lock_guard lock(mutex_);
            starts_.push_back(Clock::now());
        }
        MainWindow::onTimeExecution();
    }

private:
    std::mutex mutex_;
    std::vector<Clock::time_point> starts_;
};

// Periods between successive times, in ms, sorted.
std::vector<double> periods(const std::vector<Clock::time_point>& times)
{
    std::vector<double> result;
    for (std::size_t i = 1; i < times.size(); ++i)
        result.push_back(std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
    std::sort(result.begin(), result.end());
    return result;
}

double percentile(const std::vector<double>& sorted, double p)
{
    return sorted.empty() ? 0.0 : sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
}

void TickPeriod(benchmark::State& state)
{
    benchApplication();
    const char* text = std::getenv("TICK_JITTER_SECONDS");
    const double seconds = text ? std::atof(text) : 20.0;
    for (auto _ : state) {
        TimedWindow window;
        // The sample patient and its bone surface (iso 1200, reduced), for the 3D view to draw.
        const QDir patient(QString::fromStdString(Platform::applicationPath("SamplePatient")));
        std::vector<std::string> files;
        for (const QString& name : patient.entryList(QDir::Files, QDir::Name))
            files.push_back(patient.filePath(name).toStdString());
        if (!window.importVolumeData(files)) {
            state.SkipWithError("the sample patient did not import");
            return;
        }
        Vexa::MarchingCubes bone(window.getModel()->getVolumeData(), 1200);
        if (!bone.start()) {
            state.SkipWithError("no bone surface");
            return;
        }
        Vexa::MeshReduction reduced(bone.getResult());
        reduced.start();
        window.getModel()->set3DModel(reduced.getResult());
        window.getModel()->clearChangedState(); // no save question at the switch
        window.getModel()->notify();
        window.enableNavigation(true);
        if (!window.isNavigating()) {
            state.SkipWithError("no camera answered on the configured port");
            return;
        }
        // The anchor: what the clock alone gives a thread sleeping to 50 ms deadlines.
        std::atomic<bool> running{true};
        std::vector<Clock::time_point> anchor;
        std::thread loop([&] {
            for (auto next = Clock::now(); running; next += std::chrono::milliseconds(50)) {
                std::this_thread::sleep_until(next);
                anchor.push_back(Clock::now());
            }
        });
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < seconds * 1000.0)
            QTest::qWait(100);
        running = false;
        loop.join();
        window.enableNavigation(false);
        const auto ticks = periods(window.starts());
        const auto bare = periods(anchor);
        state.counters["seconds"] = clock.elapsed() / 1000.0;
        state.counters["ticks"] = double(ticks.size() + 1);
        state.counters["p50_ms"] = percentile(ticks, 0.5);
        state.counters["anchor_p50_ms"] = percentile(bare, 0.5);
        state.counters["anchor_p99_ms"] = percentile(bare, 0.99);
        state.counters["p99_ms"] = percentile(ticks, 0.99);
    }
}
BENCHMARK(TickPeriod)->Iterations(1)->Unit(benchmark::kMillisecond);

}
