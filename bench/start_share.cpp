// The start of the program over a large patient share: 200 patients with 10 plannings each (one
// in ten with a "Log" folder), every call of the saving's file steps below the share made 0.5 ms
// slower, as on a file server. Needs an X display (scripts/run gives one).
//   StartWalksBlocking: the start as it was, for comparison: the save recovery's walk and then a
//            second walk for the treatment log's journals, both before the window could paint.
//   StartWindow: the window made and shown until every view it shows has painted once, while
//            the start's one walk goes on in its thread (time to the painted window), then until
//            that walk is through (walk_ms).
// Counters: file calls per planning (those that go through the saving's file steps; the
// journal recovery's own looks at a "Log" folder are not counted), and the walk's total.
#include "BenchWindow.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "shell/main/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QOpenGLWidget>
#include <QTemporaryDir>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <set>
#include <thread>

namespace {

constexpr int patients = 200, planningsEach = 10;
constexpr auto latency = std::chrono::microseconds(500);
const QString built = QStringLiteral(MORVANTA_BINARY_DIR "/app");

std::atomic<long> calls{0};

void touch(const QString& file)
{
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write("[Planningdata]\nversion=2.0.0\n");
}

// The program's folder with the share as its patient path.
const QTemporaryDir& home()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        for (const char* linked : {"Data", "SamplePatient", "ImplantDatabase"})
            QFile::link(built + "/" + linked, dir.path() + "/" + linked);
        const QString share = dir.path() + "/share";
        for (int p = 0; p < patients; ++p)
            for (int n = 0; n < planningsEach; ++n) {
                const QString name = QString("2031-%1-%2__10-00-00-%3").arg(1 + n % 12, 2, 10, QChar('0')).arg(1 + p % 28, 2, 10, QChar('0')).arg(n);
                const QString planning = QString("%1/patient-%2/%3").arg(share).arg(p, 3, 10, QChar('0')).arg(name);
                for (const char* sub : {"dicom", "system", "images"})
                    QDir().mkpath(planning + "/" + sub);
                if (n == 0)
                    QDir().mkpath(planning + "/Log");
                touch(planning + "/" + name + ".srl");
            }
        QFile ini(dir.path() + "/Morvanta.ini");
        ini.open(QIODevice::WriteOnly);
        ini.write(("[Morvanta]\nPatientPath=" + share + "\nCdpath=" + dir.path() + "/SamplePatient\n").toUtf8());
        qputenv("MORVANTA_HOME", dir.path().toUtf8());
        return true;
    }();
    (void)made;
    return dir;
}

// Every file step below the share waits as a file server's would, and is counted.
void slowShare()
{
    const std::string share = home().path().toStdString() + "/share";
    FolderHandle::setFaultInjector([share](FolderHandle::SystemCall, const std::string& path) {
        if (path.compare(0, share.size(), share) == 0) {
            ++calls;
            std::this_thread::sleep_for(latency);
        }
        return 0;
    });
}

bool application()
{
    return benchWindowApplication([] { home(); });
}

double millisecondsSince(std::chrono::steady_clock::time_point begun)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();
}

void StartWalksBlocking(benchmark::State& state)
{
    if (!application()) {
        state.SkipWithError("needs an X display");
        return;
    }
    const auto settings = std::make_shared<Settings>(home().path().toStdString() + "/Morvanta.ini");
    const Model model(settings);
    slowShare();
    double saves = 0, journals = 0;
    for (auto _ : state) {
        calls = 0;
        const auto begun = std::chrono::steady_clock::now();
        StartRecovery::finishInterrupted(settings->getPatientPaths());
        saves += millisecondsSince(begun);
        const auto second = std::chrono::steady_clock::now();
        model.recoverTreatmentLogs();
        journals += millisecondsSince(second);
    }
    FolderHandle::setFaultInjector({});
    state.counters["calls_per_planning"] = double(calls) / (patients * planningsEach);
    state.counters["save_walk_ms"] = saves / double(state.iterations());
    state.counters["journal_walk_ms"] = journals / double(state.iterations());
}
BENCHMARK(StartWalksBlocking)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void StartWindow(benchmark::State& state)
{
    if (!application()) {
        state.SkipWithError("needs an X display");
        return;
    }
    slowShare();
    double walk = 0;
    for (auto _ : state) {
        calls = 0;
        const auto begun = std::chrono::steady_clock::now();
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        bool through = false;
        QObject::connect(window.get(), &MainWindow::earlierSessionsFinished, [&through] { through = true; });
        waitForPaints(*window);
        state.PauseTiming();
        while (!through)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
        walk += millisecondsSince(begun);
        window.reset();
        state.ResumeTiming();
    }
    FolderHandle::setFaultInjector({});
    state.counters["calls_per_planning"] = double(calls) / (patients * planningsEach);
    state.counters["walk_ms"] = walk / double(state.iterations());
}
BENCHMARK(StartWindow)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}
