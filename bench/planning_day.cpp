// The recorded planning day (tests/app/planday/day.tpw) replayed by the real program in a fresh
// process, in compressed time, on an X server of its own: the replay's wall time against the
// time the day took when it was recorded, and the process's memory peak against the size of the
// sample patient's volume.
#include "../tests/app/AppTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using AppTest::built;
const QString kept = QStringLiteral(MORVANTA_SOURCE_DIR "/tests/app/planday");

// Xvfb on a display of its own choosing (-displayfd).
struct XServer
{
    XServer()
    {
        server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"});
        QByteArray number;
        while (!number.endsWith('\n') && server.waitForReadyRead(20000))
            number += server.readAllStandardOutput();
        display = ":" + number.trimmed();
    }
    ~XServer()
    {
        server.terminate();
        server.waitForFinished(5000);
    }
    QProcess server;
    QByteArray display;
};

// The application folder of one run (as the program tests make it) with the compressed-time
// playback configuration.
struct Home : AppTest::AppFolder
{
    Home()
    {
        QFile config(path("compressed.xml"));
        config.open(QIODevice::WriteOnly);
        config.write("<TapewrightConfig compressTime=\"1\" creationTimeOut=\"120000\"/>\n");
    }
};

struct Outcome
{
    double seconds = 0;
    long peakKib = 0;
    int status = -1;
};

// Runs the replay; waits for it with wait4 for the child's own peak resident size.
Outcome replay(const XServer& x, const Home& home)
{
    const QByteArray program = (built + "/Morvanta").toLocal8Bit();
    const QByteArray script = (kept + "/day.tpw").toLocal8Bit();
    const QByteArray config = home.path("compressed.xml").toLocal8Bit();
    const QByteArray homePath = home.path().toLocal8Bit();
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const char* args[] = {program.data(), "-test", "-playback", "-noconfig", "-script", script.data(),
                              "-configfile", config.data(), nullptr};
        setenv("MORVANTA_HOME", homePath.data(), 1);
        setenv("XDG_RUNTIME_DIR", homePath.data(), 1);
        setenv("DISPLAY", x.display.data(), 1);
        unsetenv("QT_QPA_PLATFORM");
        freopen("/dev/null", "w", stdout);
        execv(program.data(), const_cast<char**>(args));
        _exit(127);
    }
    Outcome outcome;
    rusage usage{};
    if (child > 0 && wait4(child, &outcome.status, 0, &usage) == child) {
        outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        outcome.peakKib = usage.ru_maxrss;
    }
    return outcome;
}

double recordedSeconds()
{
    QFile file(kept + "/day.json");
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object().value("recorded_seconds").toDouble();
}

// The volume's bytes: the pixel data of the sample's DICOM files (their headers are small).
double volumeMiB()
{
    qint64 bytes = 0;
    for (QDirIterator it(built + "/SamplePatient", QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        bytes += QFileInfo(it.next()).size();
    return double(bytes) / (1024.0 * 1024.0);
}

void BM_PlanningDayReplay(benchmark::State& state)
{
    XServer x;
    if (x.display.size() < 2) {
        state.SkipWithError("no Xvfb");
        return;
    }
    Outcome last;
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Home home;
        state.ResumeTiming();
        last = replay(x, home);
        state.SetIterationTime(last.seconds);
        total += last.seconds;
        if (!WIFEXITED(last.status) || WEXITSTATUS(last.status) != 0) {
            state.SkipWithError("the replay failed");
            return;
        }
    }
    const double recorded = recordedSeconds();
    const double replayed = total / double(state.iterations());
    state.counters["recorded_s"] = recorded;
    state.counters["replay_to_recorded"] = recorded > 0 ? replayed / recorded : 0.0;
    state.counters["peak_MiB"] = double(last.peakKib) / 1024.0;
    state.counters["volume_MiB"] = volumeMiB();
    state.counters["peak_to_volume"] = double(last.peakKib) / 1024.0 / volumeMiB();
}

}

BENCHMARK(BM_PlanningDayReplay)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
