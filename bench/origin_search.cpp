// An overwrite's look for a later save of its planning, beside a second patient folder on a slow
// file server: 300 plannings of other patients there, all older than the planning saved over
// (argument 0), or with one more saved there since (argument 1); every open and look below that
// share made 2 ms slower by the program tests' shim, which the benchmark preloads into itself (it
// starts itself again with it).
// WholeWalk: the look as it was, reading every planning file of every patient folder
// (PlanningFinder::findByOrigin). LaterOnly: the look an overwrite makes now
// (PlanningFinder::findLater), which opens no planning folder that the server has not changed since
// the planning saved over was written, and looks at none in a folder nothing was put in since.
// Run interleaved:
//   bench_origin_search --benchmark_enable_random_interleaving=true --benchmark_repetitions=6
// Counters: file calls on the share per look, and per planning there.
#include "planning/io/saving/PlanningFinder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int plannings = 300;
constexpr const char* latencyMicroseconds = "2000";

QString root()
{
    return QDir::tempPath() + "/morvanta-origin-search-" + qEnvironmentVariable("MORVANTA_ORIGIN_SEARCH_ID");
}

void write(const QString& file, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    out.open(QIODevice::WriteOnly);
    out.write(text);
}

// Made before the shim is preloaded, the planning saved over after the share's plannings (a later
// tick of the disk's clock), and one more in the share that was saved in since after it; then the
// benchmark starts itself again with the shim.
void afterTheTickOf(const QString& file, const QString& earlier, const QByteArray& text)
{
    const auto then = std::filesystem::last_write_time(earlier.toStdString());
    do {
        std::this_thread::yield();
        write(file, text);
    } while (std::filesystem::last_write_time(file.toStdString()) <= then);
}

const bool preloaded = [] {
    if (qEnvironmentVariableIsSet("MORVANTA_SLOW_BELOW"))
        return true;
    qputenv("MORVANTA_ORIGIN_SEARCH_ID", QByteArray::number(::getpid()));
    QString last;
    for (const char* share : {"quiet", "since"})
        for (int p = 0; p < plannings; ++p) {
            const QString name = QString("2024-02-%1__10-00-00-%2").arg(1 + p % 28, 2, 10, QChar('0')).arg(p);
            last = root() + "/slow/" + share + "/" + name + "/" + name + ".srl";
            write(last, "[Planningdata]\nlastModified = 02/01/2024 10:00:00\norigin = " + name.toUtf8() + "\n");
        }
    const QString loaded = root() + "/patients/2031-01-01__10-00-00-1/2031-01-01__10-00-00-1.srl";
    afterTheTickOf(loaded, last, "[Planningdata]\nlastModified = 01/01/2031 10:00:00\norigin = 2031-01-01__10-00-00-1\n");
    afterTheTickOf(root() + "/slow/since/2031-01-02__10-00-00-1/2031-01-02__10-00-00-1.srl", loaded,
                   "[Planningdata]\nlastModified = 01/02/2031 10:00:00\norigin = 2031-01-02__10-00-00-1\n");
    qputenv("LD_PRELOAD", SLOW_FOLDERS);
    qputenv("MORVANTA_SLOW_BELOW", (root() + "/slow").toUtf8());
    qputenv("MORVANTA_SLOW_MICROSECONDS", latencyMicroseconds);
    std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(commandLine, word, '\0');)
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    return false;
}();

// The folders go with the benchmark, removed by a program the shim does not slow.
struct Removal
{
    ~Removal()
    {
        if (!qEnvironmentVariableIsSet("MORVANTA_SLOW_BELOW"))
            return;
        const std::string command = "env -u LD_PRELOAD rm -rf '" + root().toStdString() + "'";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
} removal;

long slowCalls()
{
    static const auto* counter = static_cast<const long*>(::dlsym(RTLD_DEFAULT, "morvantaSlowCalls"));
    return counter ? __atomic_load_n(counter, __ATOMIC_RELAXED) : 0;
}

template<class Look>
void measure(benchmark::State& state, const Look& look)
{
    if (!preloaded || !::dlsym(RTLD_DEFAULT, "morvantaSlowCalls")) {
        state.SkipWithError("the slow share's shim is not preloaded");
        return;
    }
    const std::vector<std::string> paths{(root() + "/patients").toStdString(),
                                         (root() + (state.range(0) ? "/slow/since" : "/slow/quiet")).toStdString()};
    long calls = 0;
    for (auto _ : state) {
        const long before = slowCalls();
        if (!look(paths).empty())
            state.SkipWithError("a later planning was found where there is none");
        calls += slowCalls() - before;
    }
    const double runs = double(state.iterations());
    state.counters["calls"] = double(calls) / runs;
    state.counters["calls_per_planning"] = double(calls) / runs / plannings;
}

void WholeWalk(benchmark::State& state)
{
    measure(state, [](const std::vector<std::string>& paths) {
        // As before: the last saved of the origin, which is the planning saved over.
        const std::string last = PlanningFinder::findByOrigin(paths, "2031-01-01__10-00-00-1");
        return last == paths[0] + "/2031-01-01__10-00-00-1" ? std::string() : last;
    });
}
BENCHMARK(WholeWalk)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void LaterOnly(benchmark::State& state)
{
    measure(state, [](const std::vector<std::string>& paths) {
        return PlanningFinder::findLater(paths, "2031-01-01__10-00-00-1", paths[0] + "/2031-01-01__10-00-00-1",
                                         "2031-01-01__10-00-00-1.srl", std::chrono::seconds(5))
            .folder;
    });
}
BENCHMARK(LaterOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}
