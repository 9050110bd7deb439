#include "dicom/import/DicomSeriesReader.h"

#include "dicom/core/DicomException.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomFile.h"
#include "dicom/io/DicomParser.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

namespace Vexa {

namespace {

constexpr uint32_t tag(uint16_t group, uint16_t element)
{
    return uint32_t(element) << 16 | group;
}

constexpr uint32_t modalityTag = tag(0x0008, 0x0060);
constexpr uint32_t sliceThicknessTag = tag(0x0018, 0x0050);
constexpr uint32_t spacingBetweenSlicesTag = tag(0x0018, 0x0088);
constexpr uint32_t instanceNumberTag = tag(0x0020, 0x0013);
constexpr uint32_t positionTag = tag(0x0020, 0x0032);
constexpr uint32_t orientationTag = tag(0x0020, 0x0037);
constexpr uint32_t samplesTag = tag(0x0028, 0x0002);
constexpr uint32_t photometricTag = tag(0x0028, 0x0004);
constexpr uint32_t framesTag = tag(0x0028, 0x0008);
constexpr uint32_t rowsTag = tag(0x0028, 0x0010);
constexpr uint32_t columnsTag = tag(0x0028, 0x0011);
constexpr uint32_t pixelSpacingTag = tag(0x0028, 0x0030);
constexpr uint32_t bitsAllocatedTag = tag(0x0028, 0x0100);
constexpr uint32_t bitsStoredTag = tag(0x0028, 0x0101);
constexpr uint32_t highBitTag = tag(0x0028, 0x0102);
constexpr uint32_t pixelRepresentationTag = tag(0x0028, 0x0103);
constexpr uint32_t interceptTag = tag(0x0028, 0x1052);
constexpr uint32_t slopeTag = tag(0x0028, 0x1053);

std::string tagName(uint32_t word)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "(%04X,%04X)", word & 0xFFFF, word >> 16);
    return buffer;
}

std::string fileName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the import needs of one file.
struct Slice
{
    std::string file;
    std::map<uint32_t, std::string> values;
    int device = 0;
    unsigned rows = 0, columns = 0;
    unsigned bitsAllocated = 0, bitsStored = 0, highBit = 0, pixelRepresentation = 0;
    std::string modality, photometric;
    bool hasSpacing = false, hasPosition = false, hasOrientation = false, hasInstance = false;
    std::array<double, 2> spacing{};   // between rows, between columns
    std::array<double, 3> position{};
    std::array<double, 6> orientation{};
    double slope = 1.0, intercept = 0.0;
    long instance = 0;
};

class SliceReader
{
public:
    SliceReader(const UniversalImporter& importer, const std::string& file) : importer_(importer), file_(file) {}

    // Reads the header into slice and returns the pixel data element.
    DicomElement readHeader(Slice& slice, DicomParser& parser)
    {
        if (!importer_.jumpToHeader(parser))
            throw DicomException(DicomException::NoImporter, file_ + ": not a DICOM file");
        DicomElement element, pixels;
        bool hasPixels = false;
        for (const DicomElement& meta : parser.metaElements())
            slice.values[meta.tagWord()] = parser.text(meta);
        std::string text;
        while (importer_.readDicomTag(parser, element, text)) {
            if (element.group == 0x7FE0 && element.element == 0x0010) {
                pixels = element;
                hasPixels = true;
            }
            slice.values[element.tagWord()] = std::move(text);
        }
        slice.file = file_;
        slice.device = importer_.imageDeviceOf(slice.values);
        slice.modality = text_(modalityTag);
        slice.rows = unsigned(integer(rowsTag, true, 0));
        slice.columns = unsigned(integer(columnsTag, true, 0));
        slice.bitsAllocated = unsigned(integer(bitsAllocatedTag, true, 0));
        slice.bitsStored = unsigned(integer(bitsStoredTag, false, slice.bitsAllocated));
        slice.highBit = unsigned(integer(highBitTag, false, long(slice.bitsStored) - 1));
        slice.pixelRepresentation = unsigned(integer(pixelRepresentationTag, false, 0));
        const long samples = integer(samplesTag, false, 1);
        const long frames = integer(framesTag, false, 1);
        slice.photometric = text_(photometricTag);
        if (slice.photometric.empty())
            slice.photometric = "MONOCHROME2";
        if (slice.rows == 0 || slice.columns == 0)
            fail(DicomUnsupportedImage, "image without rows or columns");
        if (slice.bitsAllocated != 8 && slice.bitsAllocated != 16)
            fail(DicomUnsupportedImage, std::to_string(slice.bitsAllocated) + " bits allocated (8 or 16 are read)");
        if (slice.bitsStored == 0 || slice.bitsStored > slice.bitsAllocated || slice.highBit >= slice.bitsAllocated ||
            slice.highBit + 1 < slice.bitsStored)
            fail(DicomUnsupportedImage, "inconsistent bits stored " + std::to_string(slice.bitsStored) + " / high bit " +
                                            std::to_string(slice.highBit));
        if (slice.pixelRepresentation > 1)
            fail(DicomInvalidValue, "pixel representation " + std::to_string(slice.pixelRepresentation));
        if (samples != 1 || (slice.photometric != "MONOCHROME2" && slice.photometric != "MONOCHROME1"))
            fail(DicomUnsupportedImage, "colour image (" + slice.photometric + ", " + std::to_string(samples) +
                                            " samples per pixel); only grey-scale slices are imported");
        if (frames != 1)
            fail(DicomUnsupportedImage, std::to_string(frames) + " frames in one file; only single-frame slices are imported");
        if (auto values = numbers(pixelSpacingTag, 2); !values.empty()) {
            slice.hasSpacing = true;
            slice.spacing = {values[0], values[1]};
            if (!(values[0] > 0) || !(values[1] > 0))
                fail(DicomInvalidValue, "pixel spacing " + text_(pixelSpacingTag) + " is not positive");
        }
        if (auto values = numbers(positionTag, 3); !values.empty()) {
            slice.hasPosition = true;
            std::copy(values.begin(), values.end(), slice.position.begin());
        }
        if (auto values = numbers(orientationTag, 6); !values.empty()) {
            slice.hasOrientation = true;
            std::copy(values.begin(), values.end(), slice.orientation.begin());
        }
        if (auto values = numbers(slopeTag, 1); !values.empty())
            slice.slope = values[0];
        if (auto values = numbers(interceptTag, 1); !values.empty())
            slice.intercept = values[0];
        if (slice.values.count(instanceNumberTag) && !text_(instanceNumberTag).empty()) {
            slice.hasInstance = true;
            slice.instance = integer(instanceNumberTag, true, 0);
        }
        if (!hasPixels)
            fail(DicomMissingTag, "no pixel data (7FE0,0010)");
        if (parser.isEncapsulated() || pixels.undefinedLength)
            fail(DicomCompressedPixels, "compressed pixel data (transfer syntax " + parser.transferSyntax() +
                                            ") cannot be imported");
        return pixels;
    }

    [[noreturn]] void fail(int code, const std::string& what) const
    {
        throw DicomException(code, file_ + ": " + what);
    }

    std::string text_(uint32_t word) const
    {
        auto found = values_->find(word);
        return found == values_->end() ? std::string() : found->second;
    }

    void bind(const Slice& slice) { values_ = &slice.values; }

    // Values of a numeric tag; empty when the tag is absent or empty, else exactly count values.
    std::vector<double> numbers(uint32_t word, std::size_t count) const
    {
        std::vector<double> out;
        const std::string text = text_(word);
        if (text.empty())
            return out;
        std::size_t start = 0;
        for (;;) {
            std::size_t stop = text.find('\\', start);
            std::string part = text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
            while (!part.empty() && part.back() == ' ')
                part.pop_back();
            std::size_t lead = part.find_first_not_of(' ');
            part = lead == std::string::npos ? std::string() : part.substr(lead);
            if (!part.empty() && part[0] == '+')
                part.erase(0, 1);
            double value = 0;
            auto result = std::from_chars(part.data(), part.data() + part.size(), value);
            if (part.empty() || result.ec != std::errc() || result.ptr != part.data() + part.size() ||
                !std::isfinite(value))
                fail(DicomInvalidValue, "value \"" + text + "\" of " + tagName(word) + " is not a number");
            out.push_back(value);
            if (stop == std::string::npos)
                break;
            start = stop + 1;
        }
        if (out.size() != count)
            fail(DicomInvalidValue, tagName(word) + " holds " + std::to_string(out.size()) + " values instead of " +
                                        std::to_string(count));
        return out;
    }

    long integer(uint32_t word, bool required, long fallback) const
    {
        if (text_(word).empty()) {
            if (required)
                fail(DicomMissingTag, "required tag " + tagName(word) + " is missing");
            return fallback;
        }
        double value = numbers(word, 1)[0];
        if (value != std::floor(value) || std::fabs(value) > 1e9)
            fail(DicomInvalidValue, "value of " + tagName(word) + " is not an integer");
        return long(value);
    }

private:
    const UniversalImporter& importer_;
    const std::string& file_;
    const std::map<uint32_t, std::string>* values_ = nullptr;
};

struct PixelData
{
    const uint8_t* bytes = nullptr;
    bool bigEndian = false;
};

// Reads one file whole into buffer, its header into slice, and checks it against the reference.
PixelData readSlice(const UniversalImporter& importer, const std::string& file, std::vector<uint8_t>& buffer,
                    Slice& slice, const Slice* reference)
{
    DicomFile::read(file, buffer, std::numeric_limits<std::size_t>::max());
    DicomParser parser(buffer.data(), buffer.size(), file, importer.vrResolver());
    SliceReader reader(importer, file);
    reader.bind(slice);
    const DicomElement pixels = reader.readHeader(slice, parser);

    if (reference) {
        auto differs = [&](const std::string& what) {
            reader.fail(DicomInconsistentSeries, what + " differs from " + fileName(reference->file));
        };
        if (slice.rows != reference->rows || slice.columns != reference->columns)
            differs("image size " + std::to_string(slice.columns) + "x" + std::to_string(slice.rows));
        if (slice.bitsAllocated != reference->bitsAllocated || slice.bitsStored != reference->bitsStored ||
            slice.highBit != reference->highBit || slice.pixelRepresentation != reference->pixelRepresentation)
            differs("pixel format");
        if (slice.modality != reference->modality || slice.device != reference->device)
            differs("modality \"" + slice.modality + "\"");
        if (slice.hasSpacing != reference->hasSpacing ||
            std::fabs(slice.spacing[0] - reference->spacing[0]) > 1e-4 ||
            std::fabs(slice.spacing[1] - reference->spacing[1]) > 1e-4)
            differs("pixel spacing");
        if (slice.hasPosition != reference->hasPosition || slice.hasOrientation != reference->hasOrientation)
            differs("presence of image position and orientation");
        for (int i = 0; i < 6; ++i)
            if (std::fabs(slice.orientation[i] - reference->orientation[i]) > 1e-4)
                differs("image orientation " + reader.text_(orientationTag));
    }

    const std::size_t pixelCount = std::size_t(slice.rows) * slice.columns;
    const std::size_t bytes = slice.bitsAllocated / 8;
    if (pixels.valueLength / bytes < pixelCount)
        reader.fail(DicomTruncated, "pixel data holds " + std::to_string(pixels.valueLength) + " bytes, the image needs " +
                                        std::to_string(pixelCount * bytes));
    return {buffer.data() + pixels.valueOffset, parser.bigEndian()};
}

// The pixels of a slice as 12-bit voxel values.
void decodeSlice(const Slice& slice, const PixelData& pixels, uint16_t* destination)
{
    const std::size_t pixelCount = std::size_t(slice.rows) * slice.columns;
    const std::size_t bytes = slice.bitsAllocated / 8;

    // One table from stored word to voxel value does masking, sign, rescale and clamping at once.
    const unsigned shift = slice.highBit + 1 - slice.bitsStored;
    const uint32_t mask = (uint32_t(1) << slice.bitsStored) - 1;
    const double offset = slice.device == DicomInformation::CT ? 1000.0 : 0.0;
    std::vector<uint16_t> table(std::size_t(1) << slice.bitsAllocated);
    for (uint32_t word = 0; word < table.size(); ++word) {
        int64_t raw = (word >> shift) & mask;
        if (slice.pixelRepresentation == 1 && (raw >> (slice.bitsStored - 1)) & 1)
            raw -= int64_t(1) << slice.bitsStored;
        double value = std::round(double(raw) * slice.slope + slice.intercept) + offset;
        table[word] = uint16_t(std::clamp(value, 0.0, 4095.0));
    }
    const uint8_t* source = pixels.bytes;
    if (bytes == 1) {
        for (std::size_t i = 0; i < pixelCount; ++i)
            destination[i] = table[source[i]];
    } else if (pixels.bigEndian) {
        for (std::size_t i = 0; i < pixelCount; ++i)
            destination[i] = table[uint16_t(source[2 * i] << 8 | source[2 * i + 1])];
    } else {
        for (std::size_t i = 0; i < pixelCount; ++i)
            destination[i] = table[uint16_t(source[2 * i + 1] << 8 | source[2 * i])];
    }
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
    if (threads <= 1) {
        work(0);
    } else {
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back(work, t);
        for (auto& thread : pool)
            thread.join();
    }
    if (failure)
        std::rethrow_exception(failure);
}

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
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
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

    // The first file fixes the slice layout, so that the others can be decoded as they are read.
    std::vector<Slice> slices(count);
    std::vector<uint8_t> firstBuffer;
    const PixelData firstPixels = readSlice(importer_, files[0], firstBuffer, slices[0], nullptr);
    const Slice& first = slices[0];
    const std::size_t sliceVoxels = std::size_t(first.rows) * first.columns;
    if (sliceVoxels > maxVoxels / count)
        throw DicomException(DicomVolumeTooLarge, "a volume of " + std::to_string(first.columns) + "x" +
                                                       std::to_string(first.rows) + "x" + std::to_string(count) +
                                                       " voxels is too large");
    std::vector<uint16_t> stack;
    try {
        stack.resize(sliceVoxels * count);
    } catch (const std::bad_alloc&) {
        throw DicomException(DicomVolumeTooLarge, "not enough memory for the volume");
    }
    decodeSlice(first, firstPixels, stack.data());
    firstBuffer = std::vector<uint8_t>();
    std::atomic<std::size_t> done{1};
    progress_ = 0.9 / double(count);

    const unsigned threads = threadCount(count - 1);
    std::vector<std::vector<uint8_t>> buffers(std::max(1u, threads));
    parallelFor(1, count, threads, cancelled_, [&](std::size_t index, unsigned worker) {
        const PixelData pixels = readSlice(importer_, files[index], buffers[worker], slices[index], &first);
        decodeSlice(slices[index], pixels, stack.data() + index * sliceVoxels);
        progress_ = 0.9 * double(++done) / double(count);
    });
    buffers.clear();
    checkCancel();

    // Geometry: order along the slice normal, slice distance, axes in the patient frame.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = i;
    Axis axes[3]; // along columns (i), along rows (j), along slices (k)
    double spacing[3];
    auto describe = [&](std::size_t i) { return fileName(slices[i].file); };
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
            for (std::size_t i = 0; i + 1 < count; ++i) {
                steps[i] = key[order[i + 1]] - key[order[i]];
                if (steps[i] < 1e-3)
                    throw DicomException(DicomDuplicateSlice, describe(order[i]) + " and " + describe(order[i + 1]) +
                                                                  " lie at the same slice position");
            }
            std::vector<double> sorted = steps;
            std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
            const double median = sorted[sorted.size() / 2];
            const double tolerance = std::max(0.01, 0.01 * median);
            for (std::size_t i = 0; i < steps.size(); ++i)
                if (std::fabs(steps[i] - median) > tolerance) {
                    char text[160];
                    std::snprintf(text, sizeof text, " are %.4g mm apart where the series has %.4g mm", steps[i], median);
                    throw DicomException(DicomIrregularSpacing,
                                         describe(order[i]) + " and " + describe(order[i + 1]) + text +
                                             (steps[i] > median ? " (missing slices)" : " (uneven or mixed series)"));
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
        SliceReader reader(importer_, first.file);
        reader.bind(first);
        std::vector<double> between = reader.numbers(spacingBetweenSlicesTag, 1);
        std::vector<double> thickness = reader.numbers(sliceThicknessTag, 1);
        if (!between.empty() && between[0] > 0)
            spacing[2] = between[0];
        else if (!thickness.empty() && thickness[0] > 0)
            spacing[2] = thickness[0];
        else
            throw DicomException(DicomMissingTag, first.file + ": no slice distance (image positions, spacing between "
                                                               "slices or slice thickness)");
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
                                                              volumeSpacing[0], volumeSpacing[1], volumeSpacing[2]);
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
    unsigned short* voxels = volume->getVoxels();
    std::atomic<std::size_t> laid{0};
    parallelFor(0, count, threadCount(count), cancelled_, [&](std::size_t k, unsigned) {
        const uint16_t* source = stack.data() + order[k] * sliceVoxels;
        for (std::size_t j = 0; j < sizes[1]; ++j) {
            unsigned short* row = voxels + base + std::ptrdiff_t(k) * step[2] + std::ptrdiff_t(j) * step[1];
            const uint16_t* in = source + j * sizes[0];
            if (step[0] == 1)
                std::copy(in, in + sizes[0], row);
            else
                for (std::size_t i = 0; i < sizes[0]; ++i)
                    row[std::ptrdiff_t(i) * step[0]] = in[i];
        }
        progress_ = 0.9 + 0.1 * double(++laid) / double(count);
    });
    checkCancel();

    std::vector<std::string> sortedFiles;
    sortedFiles.reserve(count);
    for (std::size_t index : order)
        sortedFiles.push_back(files[index]);
    const Slice& reference = slices[order[0]];
    auto information = std::make_shared<DicomInformation>(reference.values, reference.device);
    return std::make_shared<DicomVolume>(information, volume, sortedFiles);
} VEXA_RETHROW

}
