// The series import against VTK's vtkDICOMImageReader, in one run: the jaw phantom written as
// 400 slices of 512 x 512 16-bit CT, as the volume benchmarks make it (noise of standard
// deviation 50), smooth (long runs of equal values, as smooth or padded images have) and with
// CT-like noise (standard deviation 20), imported on one core and on every core the process may
// use. Each case is a number of pairs, the order alternating (ours,
// VTK, VTK, ours, ...), so that a change of load on the machine hits both alike; ratios are taken
// pair by pair. Ours is the application's import step: the files into a planning Model with its
// grey-value window. VTK's reader runs in one Python process for the whole run
// (bench/dicom_series_import_vtk.py), which times the reader itself.
//
//   bench_dicom_series_import [--series DIR] [--pairs N] [benchmark options]
//     --series DIR   write the series into DIR and keep them (a later run or a profile
//                    takes them from there) instead of a temporary folder
//     --pairs N      pairs per case (default 9)
//
// Counters: our and VTK's median and minimum seconds, the median and minimum of the ratios,
// the goal (one core 0.5, all cores 0.2), the load average when the case began, the window the
// import gave and whether the import's histogram equals a plain count of its volume. A closing
// note lists every case against its goal.
#include "JawPhantom.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr unsigned nx = 512, ny = 512, nz = 400;

struct Series
{
    const char* name;
    double noise;
    std::string folder;
};

std::vector<Series> allSeries = {{"phantom", 50.0, {}}, {"smooth", 0.0, {}}, {"ctnoise", 20.0, {}}};
int pairCount = 9;
std::vector<int> allowedCpus;

std::vector<std::string> filesIn(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    return files;
}

// Writes the phantom as a series into folder unless a complete one is there.
void writeSeries(const Series& series)
{
    const fs::path complete = series.folder + ".complete";
    if (fs::exists(complete))
        return;
    fs::remove_all(series.folder);
    fs::create_directories(series.folder);
    const auto phantom = JawPhantom::makePhantom(nx, ny, nz, series.noise);
    const std::string raw = series.folder + ".raw";
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(phantom->getVoxels()), std::streamsize(phantom->getVoxelCount() * 2));
        if (!out)
            throw std::runtime_error("cannot write " + raw);
    }
    char spacing[64];
    std::snprintf(spacing, sizeof spacing, "[%.6f, %.6f, %.6f]", phantom->getSpacingX(), phantom->getSpacingY(),
                  phantom->getSpacingZ());
    const std::string spec = "{\"folder\": \"" + series.folder + "\", \"dims\": [" + std::to_string(nx) + ", " +
                             std::to_string(ny) + ", " + std::to_string(nz) + "], \"spacing\": " + spacing +
                             ", \"raw\": \"" + raw + "\"}";
    const std::string command =
        "/usr/bin/python3 " MORVANTA_SOURCE_DIR "/tests/dicom/tools/write_series.py '" + spec + "'";
    const int status = std::system(command.c_str());
    fs::remove(raw);
    if (status != 0)
        throw std::runtime_error("writing the " + std::string(series.name) + " series failed");
    std::ofstream(complete.string()) << "written\n";
}

// Reads every file once, so that the timed reads find them in the page cache.
void pageCache(const std::string& folder)
{
    std::vector<char> buffer(1 << 20);
    for (const std::string& file : filesIn(folder)) {
        std::ifstream in(file, std::ios::binary);
        while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0) {
        }
    }
}

void pin(const std::vector<int>& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus)
        CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        throw std::runtime_error("cannot set the CPU affinity");
}

// The Python process that reads with vtkDICOMImageReader.
class VtkReader
{
public:
    VtkReader()
    {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0)
            throw std::runtime_error("no pipe for the VTK reader");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            close(toChild[1]);
            close(fromChild[0]);
            execl("/usr/bin/python3", "python3", MORVANTA_SOURCE_DIR "/bench/dicom_series_import_vtk.py", nullptr);
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in_ = fdopen(fromChild[0], "r");
        out_ = fdopen(toChild[1], "w");
        if (answer() != "ready")
            throw std::runtime_error("the VTK reader did not start (python3-vtk9 is needed)");
    }
    ~VtkReader()
    {
        std::fclose(out_);
        std::fclose(in_);
        waitpid(pid_, nullptr, 0);
    }

    void setCores(const std::vector<int>& cpus)
    {
        std::string list;
        for (int cpu : cpus)
            list += (list.empty() ? "" : ",") + std::to_string(cpu);
        if (ask("cores " + list) != "ok")
            throw std::runtime_error("the VTK reader cannot change its cores");
    }

    // The reader's own seconds for the series in folder.
    double read(const std::string& folder)
    {
        const std::string line = ask("read " + folder);
        double seconds = 0;
        unsigned x = 0, y = 0, z = 0;
        if (std::sscanf(line.c_str(), "seconds %lf dims %u %u %u", &seconds, &x, &y, &z) != 4 || x != nx || y != ny ||
            z != nz)
            throw std::runtime_error("the VTK reader answered \"" + line + "\"");
        return seconds;
    }

private:
    std::string ask(const std::string& command)
    {
        std::fprintf(out_, "%s\n", command.c_str());
        std::fflush(out_);
        return answer();
    }
    std::string answer()
    {
        char line[256];
        if (!std::fgets(line, sizeof line, in_))
            throw std::runtime_error("the VTK reader ended");
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text;
    }

    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

VtkReader& vtkReader()
{
    static VtkReader reader;
    return reader;
}

// The application's import step, as the import job runs it.
class Ours
{
public:
    Ours()
        : settings_(std::make_shared<Settings>("/nonexistent/Morvanta.ini")),
          model_(std::make_shared<Model>(settings_))
    {
        manager_.insertImporter(new Vexa::UniversalImporter);
        manager_.insertImporter(new Vexa::DVT9000Importer);
    }

    // Seconds from listing the folder to the planning Model holding the volume and its window.
    double read(const std::string& folder)
    {
        const auto start = std::chrono::steady_clock::now();
        DicomImport job(filesIn(folder), model_, settings_, manager_);
        if (!job.start())
            throw std::runtime_error("import failed: " + job.getErrorMessage());
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // Releases the last volume (not timed: VTK's reader releases its own after its timing too).
    void release()
    {
        model_->clear();
        manager_.resetProgress();
    }
    const Model& model() const { return *model_; }

private:
    std::shared_ptr<Settings> settings_;
    std::shared_ptr<Model> model_;
    Vexa::DicomIOManager manager_;
};

Ours& ours()
{
    static Ours instance;
    return instance;
}

// Whether the histogram the import counted equals a plain count of the volume it made.
bool histogramIsExact(const Model& model)
{
    const auto data = std::dynamic_pointer_cast<Vexa::DicomVolume>(model.getData());
    if (!data || !data->getVoxelHistogram())
        return false;
    const auto& volume = *data->getVolumeData();
    std::vector<uint64_t> plain(65536, 0);
    for (std::size_t i = 0; i < volume.getVoxelCount(); ++i)
        ++plain[volume.getVoxels()[i]];
    return data->getVoxelHistogram()->counts() == plain;
}

struct Result
{
    std::string name;
    double oursMedian, oursMin, vtkMedian, vtkMin, ratioMedian, ratioMin, goal, load;
    bool exact;
};
std::vector<Result> results;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void importCase(benchmark::State& state, const std::string& name, const Series& series, bool allCores)
{
    const std::vector<int> cpus = allCores ? allowedCpus : std::vector<int>{allowedCpus.back()};
    const double goal = allCores ? 0.2 : 0.5;
    double load = 0;
    getloadavg(&load, 1);
    pageCache(series.folder);
    pin(cpus);
    vtkReader().setCores(cpus);
    // One of each first: the first runs fault in memory the later ones reuse.
    vtkReader().read(series.folder);
    ours().read(series.folder);
    const bool exact = histogramIsExact(ours().model());
    state.counters["window_low"] = ours().model().getMinVoxelValue();
    state.counters["window_high"] = ours().model().getMaxVoxelValue();
    ours().release();
    std::vector<double> mine, theirs, ratios;
    for (auto _ : state) {
        double a, b;
        if (mine.size() % 2 == 0) {
            a = ours().read(series.folder);
            ours().release();
            b = vtkReader().read(series.folder);
        } else {
            b = vtkReader().read(series.folder);
            a = ours().read(series.folder);
            ours().release();
        }
        mine.push_back(a);
        theirs.push_back(b);
        ratios.push_back(a / b);
        state.SetIterationTime(a);
    }
    pin(allowedCpus);
    Result r{name, median(mine), *std::min_element(mine.begin(), mine.end()), median(theirs),
             *std::min_element(theirs.begin(), theirs.end()), median(ratios),
             *std::min_element(ratios.begin(), ratios.end()), goal, load, exact};
    state.counters["ours_median_s"] = r.oursMedian;
    state.counters["ours_min_s"] = r.oursMin;
    state.counters["vtk_median_s"] = r.vtkMedian;
    state.counters["vtk_min_s"] = r.vtkMin;
    state.counters["ratio_median"] = r.ratioMedian;
    state.counters["ratio_min"] = r.ratioMin;
    state.counters["goal"] = goal;
    state.counters["cores"] = double(cpus.size());
    state.counters["load"] = load;
    state.counters["histogram_exact"] = exact;
    results.push_back(r);
}

void closingNote()
{
    if (results.empty())
        return;
    double load = 0;
    getloadavg(&load, 1);
    std::printf("\n%-32s %19s %19s %15s %6s %5s %6s %s\n", "case", "ours med/min (s)", "VTK med/min (s)",
                "ratio med/min", "goal", "load", "met", "histogram");
    bool met = true;
    for (const Result& r : results) {
        const bool ok = r.ratioMedian <= r.goal && r.exact;
        met = met && ok;
        std::printf("%-32s %9.4f/%-9.4f %9.4f/%-9.4f %7.3f/%-7.3f %6.2f %5.1f %6s %s\n", r.name.c_str(), r.oursMedian,
                    r.oursMin, r.vtkMedian, r.vtkMin, r.ratioMedian, r.ratioMin, r.goal, r.load, ok ? "yes" : "NO",
                    r.exact ? "exact" : "DIFFERS");
    }
    std::printf("%d pairs a case on %zu allowed cores; load average %.1f at the end; goals %s\n", pairCount,
                allowedCpus.size(), load, met ? "met" : "NOT met");
}

}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::string folder;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--series") == 0 && i + 1 < argc)
            folder = argv[++i];
        else if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc)
            pairCount = std::max(1, std::atoi(argv[++i]));
        else
            rest.push_back(argv[i]);
    }
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data()))
        return 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            allowedCpus.push_back(cpu);
    const bool temporary = folder.empty();
    if (temporary) {
        char name[] = "/tmp/bench_dicom_series_import.XXXXXX";
        if (!mkdtemp(name)) {
            std::cerr << "no temporary folder\n";
            return 1;
        }
        folder = name;
    }
    int status = 0;
    try {
        for (Series& series : allSeries) {
            series.folder = (fs::path(folder) / series.name).string();
            writeSeries(series);
            for (bool allCores : {false, true}) {
                const std::string name =
                    std::string("SeriesImport/") + series.name + (allCores ? "/cores:all" : "/cores:1");
                benchmark::RegisterBenchmark(name.c_str(), [name, &series, allCores](benchmark::State& state) {
                    importCase(state, name, series, allCores);
                })
                    ->Iterations(pairCount)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond);
            }
        }
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        closingNote();
    } catch (const std::exception& e) {
        std::cerr << "bench_dicom_series_import: " << e.what() << "\n";
        status = 1;
    }
    if (temporary)
        fs::remove_all(folder);
    return status;
}
