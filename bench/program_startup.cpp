// Start-up of the program up to its first painted views, with the sample patient; needs an X
// display (scripts/run and scripts/test give one; `Xvfb :N &` and DISPLAY=:N otherwise).
//   Process: the real program from its start to the end of an empty test run (application
//            object, main window with its views, one turn of the event loop, shutdown).
//   Window:  the main window made and shown until every view it shows has painted once.
//   Import:  the sample patient imported into a fresh window until every view then shown has
//            painted with it (the user's first sight of the patient).
#include "BenchWindow.h"
#include "shell/main/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QOpenGLWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <set>

namespace {

const QString built = QStringLiteral(MORVANTA_BINARY_DIR "/app");

// The program's folder: the build's data and sample patient, plannings in a folder of its own.
const QTemporaryDir& home()
{
    static QTemporaryDir dir;
    static const bool made = [] {
        for (const char* linked : {"Data", "SamplePatient", "ImplantDatabase"})
            QFile::link(built + "/" + linked, dir.path() + "/" + linked);
        QDir().mkpath(dir.path() + "/patients");
        QFile ini(dir.path() + "/Morvanta.ini");
        ini.open(QIODevice::WriteOnly);
        ini.write(("[Morvanta]\nPatientPath=" + dir.path() + "/patients\nCdpath=" + dir.path() + "/SamplePatient\n").toUtf8());
        QFile script(dir.path() + "/empty.tpw");
        script.open(QIODevice::WriteOnly);
        script.write("<Events>\n</Events>\n");
        qputenv("MORVANTA_HOME", dir.path().toUtf8());
        return true;
    }();
    (void)made;
    return dir;
}

bool application()
{
    return benchWindowApplication([] { home(); });
}

std::vector<std::string> sampleFiles()
{
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(built + "/SamplePatient").entryInfoList(QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    return files;
}

void Process(benchmark::State& state)
{
    home();
    for (auto _ : state) {
        QProcess program;
        program.setWorkingDirectory(home().path());
        program.start(built + "/Morvanta", {"-test", "-playback", "-noconfig", "-script", "empty.tpw"});
        if (!program.waitForFinished(60000) || program.exitCode() != 0) {
            state.SkipWithError("the empty test run failed");
            return;
        }
    }
}
BENCHMARK(Process)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void Window(benchmark::State& state)
{
    if (!application()) {
        state.SkipWithError("needs an X display");
        return;
    }
    for (auto _ : state) {
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        waitForPaints(*window);
        state.PauseTiming();
        window.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(Window)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void Import(benchmark::State& state)
{
    if (!application()) {
        state.SkipWithError("needs an X display");
        return;
    }
    const std::vector<std::string> files = sampleFiles();
    for (auto _ : state) {
        state.PauseTiming();
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        waitForPaints(*window);
        state.ResumeTiming();
        if (!window->importVolumeData(files)) {
            state.SkipWithError("the sample patient did not import");
            return;
        }
        waitForPaints(*window);
        state.PauseTiming();
        window.reset();
        state.ResumeTiming();
    }
    state.counters["slices"] = double(files.size());
}
BENCHMARK(Import)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

}
