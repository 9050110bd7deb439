// Importing a series of 64 CT slices of 256 x 256 (16-bit) into a volume, and decoding one
// slice on its own. The series is written once per run into a temporary folder.
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomSlice.h"
#include "dicom/import/DicomVolume.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomFile.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class Series
{
public:
    Series()
    {
        char folder[] = "/tmp/bench_dicom_import.XXXXXX";
        if (!mkdtemp(folder))
            throw std::runtime_error("no temporary folder");
        folder_ = folder;
        const std::string spec = "{\"folder\": \"" + folder_ +
                                 "\", \"dims\": [256, 256, 64], \"spacing\": [0.4, 0.4, 0.4], \"order\": \"shuffled\"}";
        const std::string command = "/usr/bin/python3 " MORVANTA_SOURCE_DIR "/tests/dicom/tools/write_series.py '" + spec + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("writing the series failed");
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            files.push_back(entry.path().string());
            bytes += entry.file_size();
        }
    }
    ~Series() { std::filesystem::remove_all(folder_); }

    std::vector<std::string> files;
    std::size_t bytes = 0;

private:
    std::string folder_;
};

const Series& series()
{
    static Series instance;
    return instance;
}

void importSeries(benchmark::State& state)
{
    const Series& s = series();
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter);
    for (auto _ : state) {
        manager.resetProgress();
        manager.setFiles(s.files);
        manager.start();
        benchmark::DoNotOptimize(manager.getData().get());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.bytes));
    state.counters["slices"] = double(s.files.size());
}
BENCHMARK(importSeries)->Unit(benchmark::kMillisecond)->UseRealTime();

// The conversion of one slice's stored words into voxels, table built once as in the import.
void decodeSlice(benchmark::State& state)
{
    const Series& s = series();
    Vexa::UniversalImporter importer;
    std::vector<uint8_t> data;
    const std::size_t size = Vexa::DicomFile::read(s.files.front(), data, std::size_t(-1));
    Vexa::DicomSlice slice;
    slice.readHeader(importer, data.data(), data.size(), size, s.files.front());
    std::vector<uint16_t> voxels(std::size_t(slice.rows) * slice.columns);
    Vexa::DicomSlice::DecodeTable table;
    for (auto _ : state) {
        slice.decode(data.data() + slice.pixelOffset, voxels.data(), 1, slice.columns, &table);
        benchmark::DoNotOptimize(voxels.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(voxels.size()));
}
BENCHMARK(decodeSlice);

}
