#include "dicom/import/DicomSlice.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomTag.h"
#include "dicom/import/DicomInformation.h"
#include "dicom/import/UniversalImporter.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomParser.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/volume/VoxelHistogram.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Vexa {

namespace {

constexpr uint32_t modalityTag = DicomTag::tagWord(0x0008, 0x0060);
constexpr uint32_t instanceNumberTag = DicomTag::tagWord(0x0020, 0x0013);
constexpr uint32_t positionTag = DicomTag::tagWord(0x0020, 0x0032);
constexpr uint32_t orientationTag = DicomTag::tagWord(0x0020, 0x0037);
constexpr uint32_t samplesTag = DicomTag::tagWord(0x0028, 0x0002);
constexpr uint32_t photometricTag = DicomTag::tagWord(0x0028, 0x0004);
constexpr uint32_t framesTag = DicomTag::tagWord(0x0028, 0x0008);
constexpr uint32_t rowsTag = DicomTag::tagWord(0x0028, 0x0010);
constexpr uint32_t columnsTag = DicomTag::tagWord(0x0028, 0x0011);
constexpr uint32_t pixelSpacingTag = DicomTag::tagWord(0x0028, 0x0030);
constexpr uint32_t bitsAllocatedTag = DicomTag::tagWord(0x0028, 0x0100);
constexpr uint32_t bitsStoredTag = DicomTag::tagWord(0x0028, 0x0101);
constexpr uint32_t highBitTag = DicomTag::tagWord(0x0028, 0x0102);
constexpr uint32_t pixelRepresentationTag = DicomTag::tagWord(0x0028, 0x0103);
constexpr uint32_t interceptTag = DicomTag::tagWord(0x0028, 0x1052);
constexpr uint32_t slopeTag = DicomTag::tagWord(0x0028, 0x1053);

// Stored word to voxel value: masking, sign, rescale, device offset and clamping.
struct Converter
{
    unsigned shift;
    uint32_t mask;
    unsigned bitsStored;
    bool isSigned;
    double slope, intercept, offset;

    uint16_t operator()(uint32_t word) const
    {
        int64_t raw = (word >> shift) & mask;
        if (isSigned && (raw >> (bitsStored - 1)) & 1)
            raw -= int64_t(1) << bitsStored;
        return fromRaw(raw);
    }
    // The voxel of a stored value (after masking and sign).
    uint16_t fromRaw(int64_t raw) const
    {
        const double value = std::round(double(raw) * slope + intercept) + offset;
        // Extreme rescale values can make the value infinite; the comparison also keeps out NaN.
        if (!(value > 0.0))
            return 0;
        return uint16_t(std::min(value, 4095.0));
    }
};

Converter converterOf(const DicomSlice& slice)
{
    return {slice.highBit + 1 - slice.bitsStored,
            (uint32_t(1) << slice.bitsStored) - 1,
            slice.bitsStored,
            slice.pixelRepresentation == 1,
            slice.slope,
            slice.intercept,
            slice.device == DicomInformation::CT ? 1000.0 : 0.0};
}

template<class Word, class Map>
void convertRows(const uint8_t* source, unsigned rows, unsigned columns, uint16_t* destination,
                 std::ptrdiff_t columnStep, std::ptrdiff_t rowStep, VoxelHistogram::Counter* counts, Word word, Map map)
{
    // Rows that do not run along x are converted into a buffer first: they are counted as
    // contiguous rows too.
    std::vector<uint16_t> buffer(columnStep == 1 ? 0 : columns);
    for (unsigned j = 0; j < rows; ++j) {
        uint16_t* out = destination + std::ptrdiff_t(j) * rowStep;
        uint16_t* row = columnStep == 1 ? out : buffer.data();
        const uint8_t* in = source + std::size_t(j) * columns * sizeof(decltype(word(source, 0u)));
        for (unsigned i = 0; i < columns; ++i)
            row[i] = map(word(in, i));
        if (counts)
            counts->add(row, columns);
        if (columnStep != 1)
            for (unsigned i = 0; i < columns; ++i)
                out[std::ptrdiff_t(i) * columnStep] = row[i];
    }
}

#if defined(__SSE2__)
// The usual CT slice: 16-bit little-endian words, slope 1 and a whole-number intercept, rows
// laid out along x. Then a voxel is the stored value plus a constant, clamped, which eight
// voxels at a time take a few instructions instead of a table look-up each.
// Same results as Converter: round(raw + intercept) + offset is raw + shift for a whole intercept.
bool convertLinearRows(const uint8_t* source, unsigned rows, unsigned columns, uint16_t* destination,
                       std::ptrdiff_t rowStep, VoxelHistogram::Counter* counts, unsigned shift, unsigned bitsStored,
                       bool isSigned, long add)
{
    if (isSigned ? (add < -32768 || add > 32767) : (add < -65535 || add > 65535))
        return false;
    const __m128i mask = _mm_set1_epi16(short(uint16_t((uint32_t(1) << bitsStored) - 1)));
    const __m128i right = _mm_cvtsi32_si128(int(shift));
    const __m128i signShift = _mm_cvtsi32_si128(int(16 - bitsStored));
    const __m128i addend = _mm_set1_epi16(short(uint16_t(add < 0 ? -add : add)));
    const __m128i signedAddend = _mm_set1_epi16(short(add));
    const __m128i top = _mm_set1_epi16(4095), zero = _mm_setzero_si128();
    auto convert = [&](__m128i words) {
        __m128i raw = _mm_and_si128(_mm_srl_epi16(words, right), mask);
        if (isSigned) {
            raw = _mm_sra_epi16(_mm_sll_epi16(raw, signShift), signShift);
            const __m128i v = _mm_adds_epi16(raw, signedAddend); // saturates beyond the clamp range only
            return _mm_min_epi16(_mm_max_epi16(v, zero), top);
        }
        const __m128i v = add < 0 ? _mm_subs_epu16(raw, addend) : _mm_adds_epu16(raw, addend);
        return _mm_sub_epi16(v, _mm_subs_epu16(v, top)); // unsigned min(v, 4095)
    };
    for (unsigned j = 0; j < rows; ++j) {
        uint16_t* out = destination + std::ptrdiff_t(j) * rowStep;
        const uint8_t* in = source + std::size_t(j) * columns * 2;
        unsigned i = 0;
        for (; i + 8 <= columns; i += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                             convert(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i))));
        if (i < columns) {
            // The row's last few words, through a zero-padded copy.
            alignas(16) uint16_t tail[8] = {};
            std::memcpy(tail, in + 2 * i, 2 * (columns - i));
            alignas(16) uint16_t converted[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(converted), convert(_mm_load_si128(reinterpret_cast<__m128i*>(tail))));
            std::memcpy(out + i, converted, 2 * (columns - i));
        }
        if (counts)
            counts->add(out, columns);
    }
    return true;
}
#endif

}

void DicomSlice::fail(int code, const std::string& what) const
{
    throw DicomException(code, file + ": " + what);
}

std::string DicomSlice::text(uint32_t word) const
{
    auto found = values.find(word);
    return found == values.end() ? std::string() : found->second;
}

std::vector<double> DicomSlice::numbers(uint32_t word, std::size_t count) const try {
    std::vector<double> out;
    const std::string all = text(word);
    if (all.empty())
        return out;
    std::size_t start = 0;
    for (;;) {
        std::size_t stop = all.find('\\', start);
        std::string part = all.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
        while (!part.empty() && part.back() == ' ')
            part.pop_back();
        std::size_t lead = part.find_first_not_of(' ');
        part = lead == std::string::npos ? std::string() : part.substr(lead);
        if (!part.empty() && part[0] == '+')
            part.erase(0, 1);
        double value = 0;
        auto result = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || result.ec != std::errc() || result.ptr != part.data() + part.size() || !std::isfinite(value))
            fail(DicomInvalidValue, "value \"" + all + "\" of " + DicomTag::text(word) + " is not a number");
        out.push_back(value);
        if (out.size() > count)
            break;
        if (stop == std::string::npos)
            break;
        start = stop + 1;
    }
    if (out.size() > count)
        fail(DicomInvalidValue, DicomTag::text(word) + " holds more than " + std::to_string(count) + " values");
    if (out.size() < count)
        fail(DicomInvalidValue, DicomTag::text(word) + " holds " + std::to_string(out.size()) + " values instead of " +
                                    std::to_string(count));
    return out;
} VEXA_RETHROW

long DicomSlice::integer(uint32_t word, bool required, long fallback) const try {
    if (text(word).empty()) {
        if (required)
            fail(DicomMissingTag, "required tag " + DicomTag::text(word) + " is missing");
        return fallback;
    }
    double value = numbers(word, 1)[0];
    if (value != std::floor(value) || std::fabs(value) > 1e9)
        fail(DicomInvalidValue, "value of " + DicomTag::text(word) + " is not an integer");
    return long(value);
} VEXA_RETHROW

void DicomSlice::readHeader(const UniversalImporter& importer, const uint8_t* data, std::size_t size,
                            std::size_t fileSize, const std::string& path) try {
    *this = DicomSlice();
    file = path;
    DicomParser parser(data, size, path, importer.vrResolver());
    if (!importer.jumpToHeader(parser))
        throw DicomException(DicomException::NoImporter, path + ": not a DICOM file");
    parser.setStopAtPixelData(true);
    importer.readTexts(parser, values);
    if (!parser.reachedPixelData()) {
        if (size < fileSize)
            parser.fail(DicomTruncated, "header runs past the bytes read", size);
        fail(DicomMissingTag, "no pixel data (7FE0,0010)");
    }
    const DicomElement pixels = parser.pixelDataHeader(fileSize);

    device = importer.imageDeviceOf(values);
    modality = text(modalityTag);
    rows = unsigned(integer(rowsTag, true, 0));
    columns = unsigned(integer(columnsTag, true, 0));
    bitsAllocated = unsigned(integer(bitsAllocatedTag, true, 0));
    const long stored = integer(bitsStoredTag, false, long(bitsAllocated));
    const long high = integer(highBitTag, false, stored - 1);
    const long representation = integer(pixelRepresentationTag, false, 0);
    const long samples = integer(samplesTag, false, 1);
    const long frames = integer(framesTag, false, 1);
    photometric = text(photometricTag);
    if (photometric.empty())
        photometric = "MONOCHROME2";
    if (rows == 0 || columns == 0)
        fail(DicomUnsupportedImage, "image of " + std::to_string(columns) + "x" + std::to_string(rows) +
                                        " pixels (rows and columns must not be 0)");
    if (bitsAllocated != 8 && bitsAllocated != 16)
        fail(DicomUnsupportedImage, std::to_string(bitsAllocated) + " bits allocated (8 or 16 are read)");
    if (stored <= 0 || stored > long(bitsAllocated) || high < 0 || high >= long(bitsAllocated) || high + 1 < stored)
        fail(DicomUnsupportedImage, "inconsistent bits stored " + std::to_string(stored) + " / high bit " +
                                        std::to_string(high));
    bitsStored = unsigned(stored);
    highBit = unsigned(high);
    if (representation != 0 && representation != 1)
        fail(DicomInvalidValue, "pixel representation " + std::to_string(representation));
    pixelRepresentation = unsigned(representation);
    if (samples != 1 || (photometric != "MONOCHROME2" && photometric != "MONOCHROME1"))
        fail(DicomUnsupportedImage, "colour image (" + photometric + ", " + std::to_string(samples) +
                                        " samples per pixel); only grey-scale slices are imported");
    if (frames != 1)
        fail(DicomUnsupportedImage, std::to_string(frames) + " frames in one file; only single-frame slices are imported");
    if (auto found = numbers(pixelSpacingTag, 2); !found.empty()) {
        hasSpacing = true;
        spacing = {found[0], found[1]};
        if (!(found[0] > 0) || !(found[1] > 0))
            fail(DicomInvalidValue, "pixel spacing " + text(pixelSpacingTag) + " is not positive");
        for (double value : found)
            checkSpacing(value, file, "pixel spacing");
    }
    if (auto found = numbers(positionTag, 3); !found.empty()) {
        hasPosition = true;
        std::copy(found.begin(), found.end(), position.begin());
    }
    if (auto found = numbers(orientationTag, 6); !found.empty()) {
        hasOrientation = true;
        std::copy(found.begin(), found.end(), orientation.begin());
    }
    if (auto found = numbers(slopeTag, 1); !found.empty())
        slope = found[0];
    if (auto found = numbers(interceptTag, 1); !found.empty())
        intercept = found[0];
    if (!text(instanceNumberTag).empty()) {
        hasInstance = true;
        instance = integer(instanceNumberTag, true, 0);
    }
    if (parser.isEncapsulated() || pixels.undefinedLength)
        fail(DicomCompressedPixels, "compressed pixel data (transfer syntax " + parser.transferSyntax() +
                                        ") cannot be imported");
    if (pixels.valueLength < pixelBytes())
        fail(DicomTruncated, "pixel data holds " + std::to_string(pixels.valueLength) + " bytes, the image of " +
                                 std::to_string(columns) + "x" + std::to_string(rows) + " pixels needs " +
                                 std::to_string(pixelBytes()));
    bigEndian = pixels.bigEndian;
    pixelOffset = pixels.valueOffset;
} VEXA_RETHROW

void DicomSlice::checkMatches(const DicomSlice& reference) const try {
    auto differs = [&](const std::string& what) {
        fail(DicomInconsistentSeries, what + " differs from " + std::filesystem::path(reference.file).filename().string());
    };
    if (rows != reference.rows || columns != reference.columns)
        differs("image size " + std::to_string(columns) + "x" + std::to_string(rows));
    if (bitsAllocated != reference.bitsAllocated || bitsStored != reference.bitsStored || highBit != reference.highBit ||
        pixelRepresentation != reference.pixelRepresentation)
        differs("pixel format");
    if (modality != reference.modality || device != reference.device)
        differs("modality \"" + modality + "\"");
    if (hasSpacing != reference.hasSpacing || std::fabs(spacing[0] - reference.spacing[0]) > 1e-4 ||
        std::fabs(spacing[1] - reference.spacing[1]) > 1e-4)
        differs("pixel spacing");
    if (hasPosition != reference.hasPosition || hasOrientation != reference.hasOrientation)
        differs("presence of image position and orientation");
    for (int i = 0; i < 6; ++i)
        if (std::fabs(orientation[i] - reference.orientation[i]) > 1e-4)
            differs("image orientation " + text(orientationTag));
} VEXA_RETHROW

void DicomSlice::checkSpacing(double millimetres, const std::string& where, const std::string& what) try {
    if (isPlausibleSpacing(millimetres))
        return;
    char text[120];
    std::snprintf(text, sizeof text, " of %.6g mm is outside the range of dental CT and CBCT (%g to %g mm)", millimetres,
                  minimumSpacing, maximumSpacing);
    throw DicomException(DicomImplausibleSpacing, where + ": " + what + text);
} VEXA_RETHROW

uint16_t DicomSlice::maxVoxel() const
{
    // The conversion rises or falls with the stored value: one of the extremes gives the largest voxel.
    const Converter convert = converterOf(*this);
    const int64_t values = int64_t(1) << bitsStored;
    const int64_t lowest = convert.isSigned ? -values / 2 : 0;
    return std::max(convert.fromRaw(lowest), convert.fromRaw(lowest + values - 1));
}

void DicomSlice::decode(const uint8_t* pixels, uint16_t* destination, std::ptrdiff_t columnStep,
                        std::ptrdiff_t rowStep, DecodeTable* table, VoxelHistogram::Counter* counts) const try {
    const Converter convert = converterOf(*this);
#if defined(__SSE2__)
    if (bitsAllocated == 16 && !bigEndian && columnStep == 1 && slope == 1.0 && intercept == std::round(intercept) &&
        std::fabs(intercept) < 1e6 &&
        convertLinearRows(pixels, rows, columns, destination, rowStep, counts, convert.shift, bitsStored,
                          convert.isSigned, long(intercept) + long(convert.offset)))
        return;
#endif
    auto run = [&](auto map) {
        if (bitsAllocated == 8)
            convertRows(pixels, rows, columns, destination, columnStep, rowStep, counts,
                        [](const uint8_t* p, unsigned i) { return uint8_t(p[i]); }, map);
        else if (bigEndian)
            convertRows(pixels, rows, columns, destination, columnStep, rowStep, counts,
                        [](const uint8_t* p, unsigned i) { return uint16_t(p[2 * i] << 8 | p[2 * i + 1]); }, map);
        else
            convertRows(pixels, rows, columns, destination, columnStep, rowStep, counts,
                        [](const uint8_t* p, unsigned i) { return uint16_t(p[2 * i + 1] << 8 | p[2 * i]); }, map);
    };
    // A table from stored word to voxel pays off once the pixels outnumber the possible words.
    const std::size_t words = std::size_t(1) << bitsAllocated;
    if (std::size_t(rows) * columns < words) {
        run(convert);
        return;
    }
    DecodeTable local;
    DecodeTable& cached = table ? *table : local;
    const std::array<double, 7> format{double(bitsAllocated), double(bitsStored), double(highBit),
                                       double(pixelRepresentation), slope, intercept, convert.offset};
    if (cached.voxels.size() != words || cached.format != format) {
        cached.voxels.resize(words);
        for (uint32_t word = 0; word < words; ++word)
            cached.voxels[word] = convert(word);
        cached.format = format;
    }
    const uint16_t* voxels = cached.voxels.data();
    run([voxels](uint32_t word) { return voxels[word]; });
} VEXA_RETHROW

}
