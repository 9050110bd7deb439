#include "dicom/import/DicomSeriesReader.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomTag.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomSlice.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomFile.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/core/ThreadTeam.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <mutex>
#include <sys/mman.h>

namespace Vexa {

namespace {

constexpr uint32_t sliceThicknessTag = DicomTag::tagWord(0x0018, 0x0050);
constexpr uint32_t spacingBetweenSlicesTag = DicomTag::tagWord(0x0018, 0x0088);
constexpr uint32_t orientationTag = DicomTag::tagWord(0x0020, 0x0037);

// Enough for the header of nearly every file; longer headers are read on in larger steps.
constexpr std::size_t headerPrefix = 4096;

// The header of one file, read from as short a beginning of it as will do. The pixel data that
// came with that beginning are kept (leading), so that no byte of the file is read twice.
void readSliceHeader(const UniversalImporter& importer, const std::string& path, std::vector<uint8_t>& buffer,
                     DicomSlice& slice, std::vector<uint8_t>& leading)
{
    DicomFile file(path);
    const std::size_t fileSize = file.size();
    std::size_t wanted = std::min(fileSize, headerPrefix);
    buffer.reserve(wanted);
    buffer.resize(wanted);
    file.readAt(0, buffer.data(), wanted);
    for (;;) {
        try {
            slice.readHeader(importer, buffer.data(), buffer.size(), fileSize, path);
            break;
        } catch (const DicomException& error) {
            if (error.code() != DicomTruncated || buffer.size() >= fileSize)
                throw;
        }
        // A long header: read on, four times as much each round.
        const std::size_t had = buffer.size();
        wanted = had > fileSize / 4 ? fileSize : had * 4;
        buffer.reserve(wanted); // exactly: never more than the file
        buffer.resize(wanted);
        file.readAt(had, buffer.data() + had, wanted - had);
    }
    const std::size_t end = slice.pixelOffset + slice.pixelBytes();
    if (slice.pixelOffset < buffer.size())
        leading.assign(buffer.begin() + std::ptrdiff_t(slice.pixelOffset),
                       buffer.begin() + std::ptrdiff_t(std::min(buffer.size(), end)));
    else
        leading.clear();
}

// Runs body(index) for index in [begin, end) on threads; rethrows the failure of the lowest index.
template<class Body>
void parallelFor(std::size_t begin, std::size_t end, unsigned threads, const std::atomic<bool>& cancelled, Body body)
{
    std::atomic<std::size_t> nextIndex{begin};
    std::mutex mutex;
    std::size_t failedIndex = std::numeric_limits<std::size_t>::max();
    std::exception_ptr failure;
    std::atomic<bool> stop{false};
    auto work = [&](unsigned worker) {
        for (;;) {
            if (stop || cancelled)
                return;
            std::size_t index = nextIndex++;
            if (index >= end)
                return;
            try {
                body(index, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (index < failedIndex) {
                    failedIndex = index;
                    failure = std::current_exception();
                }
                stop = true;
            }
        }
    };
    // The calling thread works as worker 0; fewer workers than asked for take all the files.
    ThreadTeam::run("Reading the series", threads, work);
    if (failure)
        std::rethrow_exception(failure);
}

// Large pages for a large volume: far fewer page faults while the slices are decoded into it and
// far less work when it is released. Only advice; nothing depends on it being followed.
void adviseHugePages(void* memory, std::size_t bytes)
{
    constexpr std::uintptr_t hugePage = std::uintptr_t(2) << 20;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(memory) + hugePage - 1) & ~(hugePage - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(memory) + bytes) & ~(hugePage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// File names in the order people number slices: digit runs by their value ("CT9" before "CT10").
bool namedBefore(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digitA = std::isdigit((unsigned char)a[i]), digitB = std::isdigit((unsigned char)b[j]);
        if (digitA && digitB) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit((unsigned char)a[endA]))
                ++endA;
            while (endB < b.size() && std::isdigit((unsigned char)b[endB]))
                ++endB;
            std::string_view numberA(a.data() + i, endA - i), numberB(b.data() + j, endB - j);
            while (numberA.size() > 1 && numberA.front() == '0')
                numberA.remove_prefix(1);
            while (numberB.size() > 1 && numberB.front() == '0')
                numberB.remove_prefix(1);
            if (numberA.size() != numberB.size())
                return numberA.size() < numberB.size();
            if (numberA != numberB)
                return numberA < numberB;
            i = endA;
            j = endB;
        } else {
            if (a[i] != b[j])
                return (unsigned char)a[i] < (unsigned char)b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}

// A gap in a series is often no gap in the scan but slices whose files could not be read and so
// were never offered for the import: the files of the folder that lie between the two slices by
// name, belong to no series read here and cannot be read are named, each with its reason. Empty
// when there are none.
std::string DicomSeriesReader::unreadableBetween(const std::string& before, const std::string& after,
                                                 const std::vector<std::string>& series) const
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(before).parent_path();
    if (fs::path(after).parent_path() != folder)
        return {};
    std::string low = fs::path(before).filename().string(), high = fs::path(after).filename().string();
    if (namedBefore(high, low))
        std::swap(low, high);
    std::vector<std::string> inSeries;
    for (const std::string& file : series)
        if (fs::path(file).parent_path() == folder)
            inSeries.push_back(fs::path(file).filename().string());
    std::sort(inSeries.begin(), inSeries.end());
    std::vector<std::string> between;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (namedBefore(low, name) && namedBefore(name, high) && !std::binary_search(inSeries.begin(), inSeries.end(), name))
            between.push_back(name);
    }
    std::sort(between.begin(), between.end(), namedBefore);
    // A broken series is refused at once: a whole folder of other files is not read to explain it.
    constexpr std::size_t mostRead = 64;
    if (between.size() > mostRead)
        between.resize(mostRead);
    const fs::path extension = fs::path(before).extension();
    std::vector<std::string> unreadable;
    for (const std::string& name : between) {
        const std::string path = (folder / name).string();
        try {
            // A slice cut short in its pixel data has a whole header: it reads, and its damage says
            // why it was left out.
            const std::string damage = importer_.readInformation(path)->damage();
            if (!damage.empty())
                unreadable.push_back(name + " (" + damage + ")");
        } catch (const DicomException& failure) {
            // A file of another kind beside the slices (a picture, a text) is no slice left out.
            if (failure.code() != DicomException::NoImporter || fs::path(name).extension() == extension)
                unreadable.push_back(name + " (" + DicomIOManager::reasonOf(failure, path) + ")");
        } catch (const std::exception& failure) {
            unreadable.push_back(name + " (" + DicomIOManager::reasonOf(failure, path) + ")");
        }
    }
    if (unreadable.empty())
        return {};
    std::string names;
    for (std::size_t k = 0; k < unreadable.size(); ++k)
        names += (k == 0 ? "" : k + 1 == unreadable.size() ? " and " : ", ") + unreadable[k];
    return std::string(unreadable.size() == 1 ? "; the file" : "; the files") + " between them, " + names +
           ", could not be read, so the series lacks the slices there";
}

namespace {

struct Axis
{
    int axis = 0;  // patient axis: 0 x (left), 1 y (posterior), 2 z (head)
    int sign = 1;
};

// The patient axis a direction cosine vector runs along; false when it is not axis-aligned.
bool alignedAxis(const double* v, Axis& out)
{
    constexpr double tolerance = 1e-3;
    int found = -1;
    for (int a = 0; a < 3; ++a) {
        if (std::fabs(std::fabs(v[a]) - 1.0) <= tolerance) {
            if (found >= 0)
                return false;
            found = a;
        } else if (std::fabs(v[a]) > tolerance) {
            return false;
        }
    }
    if (found < 0)
        return false;
    out.axis = found;
    out.sign = v[found] > 0 ? 1 : -1;
    return true;
}

}

DicomSeriesReader::DicomSeriesReader(const UniversalImporter& importer, const std::atomic<bool>& cancelled,
                                     std::atomic<double>& progress)
    : importer_(importer), cancelled_(cancelled), progress_(progress)
{
}

unsigned DicomSeriesReader::threadCount(std::size_t files)
{
    const unsigned cores = ProcessorAffinity::usableCores();
    if (files < 4)
        return 1;
    return unsigned(std::min<std::size_t>(cores, files));
}

std::shared_ptr<DicomVolume> DicomSeriesReader::read(const std::vector<std::string>& files) try {
    const std::size_t count = files.size();
    if (count == 0)
        throw DicomException(DicomNoFiles, "no files to import");
    auto checkCancel = [this] {
        if (cancelled_)
            throw DicomException(DicomImportCancelled, "import cancelled");
    };
    checkCancel();
    progress_ = 0.0;

    // Headers first: the order and the place of every slice are known before any pixel is
    // decoded, so each slice goes straight into the volume and nothing but the volume grows
    // with the series.
    std::vector<DicomSlice> slices(count);
    std::vector<std::vector<uint8_t>> leading(count);
    {
        const unsigned threads = threadCount(count);
        std::vector<std::vector<uint8_t>> buffers(threads);
        std::atomic<std::size_t> done{0};
        parallelFor(0, count, threads, cancelled_, [&](std::size_t index, unsigned worker) {
            readSliceHeader(importer_, files[index], buffers[worker], slices[index], leading[index]);
            progress_ = 0.1 * double(++done) / double(count);
        });
    }
    checkCancel();
    const DicomSlice& first = slices[0];
    for (std::size_t i = 1; i < count; ++i)
        slices[i].checkMatches(first);
    const std::size_t sliceVoxels = std::size_t(first.rows) * first.columns;
    if (sliceVoxels > maxVoxels / count)
        throw DicomException(DicomVolumeTooLarge, "a volume of " + std::to_string(first.columns) + "x" +
                                                       std::to_string(first.rows) + "x" + std::to_string(count) +
                                                       " voxels is too large");

    // Geometry: order along the slice normal, slice distance, axes in the patient frame.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = i;
    Axis axes[3]; // along columns (i), along rows (j), along slices (k)
    double spacing[3];
    auto describe = [&](std::size_t i) { return std::filesystem::path(slices[i].file).filename().string(); };
    if (first.hasPosition && first.hasOrientation) {
        if (!first.hasSpacing)
            throw DicomException(DicomMissingTag, first.file + ": pixel spacing (0028,0030) is missing");
        const double* r = first.orientation.data();
        const double* c = first.orientation.data() + 3;
        if (!alignedAxis(r, axes[0]) || !alignedAxis(c, axes[1]) || axes[0].axis == axes[1].axis)
            throw DicomException(DicomObliqueSeries,
                                 first.file + ": image orientation " + first.values.at(orientationTag) +
                                     " is not aligned with the patient axes; oblique series are not imported");
        // The slice normal is the cross product of the two in-plane axes.
        const double normal[3] = {r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
        alignedAxis(normal, axes[2]);
        auto dot = [](const std::array<double, 3>& p, const double* v) { return p[0] * v[0] + p[1] * v[1] + p[2] * v[2]; };
        std::vector<double> key(count);
        for (std::size_t i = 0; i < count; ++i)
            key[i] = dot(slices[i].position, normal);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key[a] < key[b]; });
        // All slices must lie on one line along the normal.
        for (std::size_t i = 1; i < count; ++i) {
            const double shiftRow = dot(slices[i].position, r) - dot(first.position, r);
            const double shiftColumn = dot(slices[i].position, c) - dot(first.position, c);
            if (std::fabs(shiftRow) > std::max(0.01, 0.01 * first.spacing[1]) ||
                std::fabs(shiftColumn) > std::max(0.01, 0.01 * first.spacing[0]))
                throw DicomException(DicomObliqueSeries, describe(i) + " is shifted within the slice plane against " +
                                                             describe(0) + " (tilted or mixed series)");
        }
        if (count >= 2) {
            std::vector<double> steps(count - 1);
            for (std::size_t i = 0; i + 1 < count; ++i)
                steps[i] = key[order[i + 1]] - key[order[i]];
            std::vector<double> sorted = steps;
            std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
            const double median = sorted[sorted.size() / 2];
            // Slices that all lie (nearly) on one another are a series of absurd spacing; one
            // slice on top of its neighbour among regular ones is a duplicate. (Positions near
            // the largest number can make the median NaN: that is refused here too.)
            if (!(median <= 0))
                DicomSlice::checkSpacing(median, describe(order[0]) + " to " + describe(order[count - 1]),
                                         "slice spacing");
            for (std::size_t i = 0; i < steps.size(); ++i)
                if (steps[i] < 1e-3)
                    throw DicomException(DicomDuplicateSlice, describe(order[i]) + " and " + describe(order[i + 1]) +
                                                                  " lie at the same slice position");
            const double tolerance = std::max(0.01, 0.01 * median);
            for (std::size_t i = 0; i < steps.size(); ++i)
                if (std::fabs(steps[i] - median) > tolerance) {
                    char text[160];
                    std::snprintf(text, sizeof text, " are %.4g mm apart where the series has %.4g mm", steps[i], median);
                    throw DicomException(DicomIrregularSpacing,
                                         describe(order[i]) + " and " + describe(order[i + 1]) + text +
                                             " (uneven slice spacing)" +
                                             unreadableBetween(slices[order[i]].file, slices[order[i + 1]].file, files));
                }
            spacing[2] = median;
        } else {
            spacing[2] = 0;
        }
    } else {
        // No positions: the instance numbers give the order, the header the slice distance.
        axes[0] = {0, 1};
        axes[1] = {1, 1};
        axes[2] = {2, 1};
        if (count >= 2) {
            for (std::size_t i = 0; i < count; ++i)
                if (!slices[i].hasInstance)
                    throw DicomException(DicomMissingTag, slices[i].file +
                                                              ": neither image position nor instance number orders the slices");
            std::stable_sort(order.begin(), order.end(),
                             [&](std::size_t a, std::size_t b) { return slices[a].instance < slices[b].instance; });
            for (std::size_t i = 0; i + 1 < count; ++i)
                if (slices[order[i]].instance == slices[order[i + 1]].instance)
                    throw DicomException(DicomDuplicateSlice, describe(order[i]) + " and " + describe(order[i + 1]) +
                                                                  " have the same instance number");
        }
        spacing[2] = 0;
    }
    if (spacing[2] <= 0) {
        std::vector<double> between = first.numbers(spacingBetweenSlicesTag, 1);
        std::vector<double> thickness = first.numbers(sliceThicknessTag, 1);
        if (!between.empty() && between[0] > 0) {
            spacing[2] = between[0];
            DicomSlice::checkSpacing(spacing[2], first.file, "spacing between slices (0018,0088)");
        } else if (!thickness.empty() && thickness[0] > 0) {
            spacing[2] = thickness[0];
            DicomSlice::checkSpacing(spacing[2], first.file, "slice thickness (0018,0050)");
        } else {
            throw DicomException(DicomMissingTag, first.file + ": no slice distance (image positions, spacing between "
                                                               "slices or slice thickness)");
        }
    }
    if (!first.hasSpacing)
        throw DicomException(DicomMissingTag, first.file + ": pixel spacing (0028,0030) is missing");
    spacing[0] = first.spacing[1];
    spacing[1] = first.spacing[0];

    // Lay the sorted slices into the volume, flipping and permuting axes into the patient frame.
    const std::size_t sizes[3] = {first.columns, first.rows, count};
    std::size_t dims[3];
    double volumeSpacing[3];
    for (int s = 0; s < 3; ++s) {
        dims[axes[s].axis] = sizes[s];
        volumeSpacing[axes[s].axis] = spacing[s];
    }
    std::shared_ptr<VolumeData<unsigned short>> volume;
    try {
        volume = std::make_shared<VolumeData<unsigned short>>(unsigned(dims[0]), unsigned(dims[1]), unsigned(dims[2]),
                                                              volumeSpacing[0], volumeSpacing[1], volumeSpacing[2],
                                                              VolumeData<unsigned short>::Uninitialized()); // every voxel is decoded below
    } catch (const std::bad_alloc&) {
        throw DicomException(DicomVolumeTooLarge, "not enough memory for the volume");
    }
    const std::ptrdiff_t strides[3] = {1, std::ptrdiff_t(dims[0]), std::ptrdiff_t(dims[0] * dims[1])};
    std::ptrdiff_t step[3], base = 0;
    for (int s = 0; s < 3; ++s) {
        step[s] = axes[s].sign * strides[axes[s].axis];
        if (axes[s].sign < 0)
            base += std::ptrdiff_t(sizes[s] - 1) * strides[axes[s].axis];
    }
    // Only the header texts of the slice that describes the volume are kept.
    auto information = std::make_shared<DicomInformation>(std::move(slices[order[0]].values), slices[order[0]].device);
    for (DicomSlice& slice : slices)
        std::map<uint32_t, std::string>().swap(slice.values);

    unsigned short* voxels = volume->getVoxels();
    adviseHugePages(voxels, volume->getVoxelCount() * sizeof(unsigned short));
    const std::size_t pixelBytes = first.pixelBytes();
    const unsigned threads = threadCount(count);
    std::vector<std::vector<uint8_t>> buffers(threads);
    std::vector<DicomSlice::DecodeTable> tables(threads);
    // Counts only as wide as the values the slices can give (rescale may differ between them).
    uint16_t maxVoxel = 0;
    for (const DicomSlice& slice : slices)
        maxVoxel = std::max(maxVoxel, slice.maxVoxel());
    std::vector<VoxelHistogram::Counter> counts(threads, VoxelHistogram::Counter(std::size_t(maxVoxel) + 1));
    std::atomic<std::size_t> laid{0};
    parallelFor(0, count, threads, cancelled_, [&](std::size_t k, unsigned worker) {
        const DicomSlice& slice = slices[order[k]];
        std::vector<uint8_t>& head = leading[order[k]];
        std::vector<uint8_t>& buffer = buffers[worker];
        buffer.resize(pixelBytes);
        std::copy(head.begin(), head.end(), buffer.begin());
        if (head.size() < pixelBytes) {
            DicomFile file(slice.file);
            file.readAt(slice.pixelOffset + head.size(), buffer.data() + head.size(), pixelBytes - head.size());
        }
        std::vector<uint8_t>().swap(head);
        slice.decode(buffer.data(), voxels + base + std::ptrdiff_t(k) * step[2], step[0], step[1], &tables[worker],
                     &counts[worker]);
        progress_ = 0.1 + 0.9 * double(++laid) / double(count);
    });
    checkCancel();

    std::vector<std::string> sortedFiles;
    sortedFiles.reserve(count);
    for (std::size_t index : order)
        sortedFiles.push_back(files[index]);
    std::vector<uint64_t> histogram(std::size_t(maxVoxel) + 1, 0);
    for (VoxelHistogram::Counter& c : counts)
        c.drainInto(histogram);
    return std::make_shared<DicomVolume>(information, volume, sortedFiles,
                                         std::make_shared<const VoxelHistogram>(std::move(histogram)));
} VEXA_RETHROW

}
