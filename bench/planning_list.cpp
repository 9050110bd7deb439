// The list of plannings ("Reload planning") over a patient share on a slow file server: 20
// plannings of 160 slices each (with an implant), every open and look below the share, by a
// folder or by a path, made 2 ms slower by the program tests' shim, which the benchmark preloads
// into itself (it starts itself again with it). The dialog runs its own loop until its list is
// whole, as in the program.
// Counters: file calls per planning, the time to the first row and to the last (the list whole),
// and the longest the dialog's thread was held between two of its events (the window frozen).
#include "BenchApplication.h"
#include "SlowShare.h"
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "shell/dialogs/LoadPlanningDialog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTimer>
#include <QTreeWidget>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

constexpr int plannings = 20, slices = 160;
constexpr const char* latencyMicroseconds = "2000";

// Made before the shim is preloaded (making it slowly would take long), then the benchmark starts
// itself again with the shim on the share.
const bool preloaded = [] {
    if (qEnvironmentVariableIsSet("MORVANTA_SLOW_BELOW"))
        return true;
    const QString share = QDir::tempPath() + "/morvanta-planning-list-" + QString::number(::getpid());
    const QString tree = share + "-tree";
    if (QProcess::execute("/usr/bin/python3", {MORVANTA_SOURCE_DIR "/tests/tools/make_planning_tree.py", tree}) != 0)
        return false;
    const QString whole = tree + "/incomplete/Whole";
    QFile text(whole + "/Whole.srl");
    text.open(QIODevice::ReadOnly);
    QString planning = QString::fromUtf8(text.readAll());
    QString series = "numberOfDicomFiles = " + QString::number(slices) + "\n";
    for (int i = 0; i < slices; ++i)
        series += QString("dicomFile%1 = dicom/slice%1.dcm\n").arg(i);
    planning.replace("dicomFile0 = slice.dcm\n", series);
    for (int p = 0; p < plannings; ++p) {
        const QString name = QString("2031-02-%1__10-00-00-1").arg(1 + p % 28, 2, 10, QChar('0'));
        const QString folder = QString("%1/patient-%2/%3").arg(share).arg(p, 3, 10, QChar('0')).arg(name);
        QDir().mkpath(folder + "/dicom");
        for (const char* file : {"implant0.implant", "implant.sff"})
            QFile::copy(whole + "/" + file, folder + "/" + file);
        for (int i = 0; i < slices; ++i)
            QFile::copy(whole + "/slice.dcm", QString("%1/dicom/slice%2.dcm").arg(folder).arg(i));
        QFile out(folder + "/" + name + ".srl");
        out.open(QIODevice::WriteOnly);
        out.write(QString(planning).replace("name = Whole", "name = Patient " + QString::number(p)).toUtf8());
    }
    QDir(tree).removeRecursively();
    qputenv("LD_PRELOAD", SLOW_FOLDERS);
    qputenv("MORVANTA_SLOW_BELOW", share.toUtf8());
    qputenv("MORVANTA_SLOW_PATHS", "1");
    qputenv("MORVANTA_SLOW_MICROSECONDS", latencyMicroseconds);
    SlowShare::runAgain();
    return false;
}();

// The share goes with the benchmark, removed by a program the shim does not slow.
struct ShareRemoval
{
    ~ShareRemoval()
    {
        if (!qEnvironmentVariableIsSet("MORVANTA_SLOW_BELOW"))
            return;
        SlowShare::removeUnslowed(qEnvironmentVariable("MORVANTA_SLOW_BELOW").toStdString());
    }
} shareRemoval;

long slowCalls()
{
    static const auto* counter = static_cast<const long*>(::dlsym(RTLD_DEFAULT, "morvantaSlowCalls"));
    return counter ? __atomic_load_n(counter, __ATOMIC_RELAXED) : 0;
}

void PlanningList(benchmark::State& state)
{
    if (!preloaded || !::dlsym(RTLD_DEFAULT, "morvantaSlowCalls")) {
        state.SkipWithError("the slow share's shim is not preloaded");
        return;
    }
    benchApplication();
    const std::string share = qEnvironmentVariable("MORVANTA_SLOW_BELOW").toStdString();
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter());
    manager.insertImporter(new Vexa::DVT9000Importer());
    double first = 0, last = 0, frozen = 0;
    long calls = 0;
    int rows = 0;
    for (auto _ : state) {
        LoadPlanningDialog dialog(nullptr, &manager);
        dialog.setBasePaths({share});
        auto* list = dialog.findChild<QTreeWidget*>("m_PatientTable");
        const long before = slowCalls();
        QElapsedTimer clock, beat;
        double firstRow = -1, longest = 0;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            longest = std::max(longest, double(beat.nsecsElapsed()) / 1e6);
            beat.restart();
            if (firstRow < 0 && list->topLevelItemCount() > 0)
                firstRow = double(clock.nsecsElapsed()) / 1e6;
            const auto* listing = dialog.findChild<QLabel*>("m_ListState");
            if (list->topLevelItemCount() > 0 && (!listing || listing->isHidden()))
                dialog.reject();
        });
        clock.start();
        beat.start();
        look.start(5);
        dialog.exec();
        last += double(clock.nsecsElapsed()) / 1e6;
        first += firstRow;
        frozen += longest;
        calls += slowCalls() - before;
        rows = list->topLevelItemCount();
    }
    const double runs = double(state.iterations());
    state.counters["calls_per_planning"] = double(calls) / runs / plannings;
    state.counters["first_row_ms"] = first / runs;
    state.counters["last_row_ms"] = last / runs;
    state.counters["frozen_ms"] = frozen / runs;
    state.counters["rows"] = rows;
}
BENCHMARK(PlanningList)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}
