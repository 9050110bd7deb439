// Imports every file of one folder as a series, as the application does, and prints how long it
// took and how much memory the process needed beyond what it held before:
//   dicom_import_time <folder> [runs] [--model]
// Alone it reads the series into a volume; with --model it takes the whole import step of the
// application instead: the series into a planning Model, with the grey-value window.
// One line of key=value pairs per run. Peak memory is the process's high-water mark, so only the
// first run of a process measures the import alone.
#include "dicom/core/DicomException.h"
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

long residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder> [runs] [--model]\n", argv[0]);
        return 2;
    }
    const bool intoModel = std::strcmp(argv[argc - 1], "--model") == 0;
    const int runs = argc > 2 + intoModel ? std::max(1, std::atoi(argv[2])) : 1;
    QCoreApplication app(argc, argv);
    const auto settings = std::make_shared<Settings>("/nonexistent/Morvanta.ini");
    const auto model = std::make_shared<Model>(settings);
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter);
    manager.insertImporter(new Vexa::DVT9000Importer);
    for (int run = 0; run < runs; ++run) {
        const long before = residentKiB();
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
        std::shared_ptr<Vexa::DicomVolume> volume;
        try {
            if (intoModel) {
                DicomImport import(files, model, settings, manager);
                if (!import.start())
                    throw std::runtime_error(import.getErrorMessage());
                volume = std::dynamic_pointer_cast<Vexa::DicomVolume>(model->getData());
            } else {
                manager.resetProgress();
                manager.setFiles(files);
                manager.start();
                volume = std::dynamic_pointer_cast<Vexa::DicomVolume>(manager.getData());
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "import failed: %s\n", error.what());
            return 1;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const auto data = volume->getVolumeData();
        const double volumeMiB = double(data->getVoxelCount() * sizeof(unsigned short)) / (1024.0 * 1024.0);
        std::printf("run=%d files=%zu dims=%ux%ux%u seconds=%.6f volume_mib=%.2f rss_before_mib=%.2f peak_mib=%.2f "
                    "peak_over_before_mib=%.2f\n",
                    run, files.size(), data->getDimX(), data->getDimY(), data->getDimZ(), seconds, volumeMiB,
                    before / 1024.0, peakKiB() / 1024.0, (peakKiB() - before) / 1024.0);
        if (intoModel)
            std::printf("window=%d/%d/%d\n", model->getMinVoxelValue(), model->getMidVoxelValue(),
                        model->getMaxVoxelValue());
        std::fflush(stdout);
        volume.reset();
        model->clear();
        manager.resetProgress();
    }
    return 0;
}
