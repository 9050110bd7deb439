#include "dicom/import/UniversalImporter.h"

#include "dicom/core/DicomException.h"
#include "dicom/dictionary/DicomDictionary.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomSeriesReader.h"
#include "dicom/io/DicomCharacterSet.h"
#include "dicom/io/DicomErrorCode.h"
#include "dicom/io/DicomFile.h"
#include "vexa/core/ExceptionStack.h"


namespace Vexa {

namespace {

// Enough for the headers of nearly all files; longer headers are read in full.
constexpr std::size_t headerPrefix = 64 * 1024;
// "DICM" after the preamble plus one element header decides whether a file is DICOM.
constexpr std::size_t sniffPrefix = 132 + 8;

constexpr uint32_t specificCharacterSetTag = DicomTag::tagWord(0x0008, 0x0005);
constexpr uint32_t modalityTag = DicomTag::tagWord(0x0008, 0x0060);
constexpr uint32_t modelNameTag = DicomTag::tagWord(0x0008, 0x1090);

}

UniversalImporter::UniversalImporter() = default;
UniversalImporter::~UniversalImporter() = default;

bool UniversalImporter::str2VR(const std::string& text, EDicomTagValueRepresentation& vr)
{
    return parseValueRepresentation(text, vr);
}

bool UniversalImporter::checkVR(unsigned tagWord, const std::string& vr) const try {
    const DicomDictionary& dictionary = DicomDictionary::getInstance();
    if (dictionary.getVersion(tagWord) == "2")
        return true;
    EDicomTagValueRepresentation code;
    if (!str2VR(vr, code))
        return false;
    int count = 0;
    for (int index = 0;; ++index) {
        EDicomTagValueRepresentation listed = dictionary.getVR(tagWord, count, index);
        if (listed == code)
            return true;
        if (index + 1 >= count)
            break;
    }
    return code == EDicomTagValueRepresentation::UN;
} VEXA_RETHROW

DicomParser::VRResolver UniversalImporter::vrResolver() const
{
    return [this](uint16_t group, uint16_t element, bool explicitVR, DicomVR written) -> DicomVR {
        const uint32_t tagWord = DicomTag::tagWord(group, element);
        if (explicitVR) {
            if (group & 1)
                return written;
            const DicomDictionary& dictionary = DicomDictionary::getInstance();
            // A standard tag newer than the dictionary is read as the file writes it.
            if (!dictionary.isKnownTag(tagWord))
                return written;
            try {
                if (checkVR(tagWord, written.text()))
                    return written;
            } catch (const DicomException& error) {
                if (error.code() == DicomException::UnknownTag)
                    return written;
                throw;
            }
            throw DicomException(DicomException::VRMismatch, "VR \"" +
                                                                 (written.isKnown() ? written.text() : std::string("??")) +
                                                                 "\" does not fit tag " + DicomTag::text(tagWord));
        }
        if (group & 1) {
            if (element == 0)
                return DicomVR('U', 'L');
            if (element >= 0x0010 && element <= 0x00FF)
                return DicomVR('L', 'O'); // private creator
            return DicomVR('U', 'N');
        }
        const DicomDictionary& dictionary = DicomDictionary::getInstance();
        if (!dictionary.isKnownTag(tagWord))
            return element == 0 ? DicomVR('U', 'L') : DicomVR('U', 'N');
        std::string_view name = valueRepresentationName(dictionary.getVR(tagWord));
        return name.size() == 2 ? DicomVR(name[0], name[1]) : DicomVR('U', 'N');
    };
}

bool UniversalImporter::readDicomTag(DicomParser& parser, DicomElement& element, std::string& text) const try {
    if (!parser.next(element))
        return false;
    text = parser.text(element);
    return true;
} VEXA_RETHROW

bool UniversalImporter::jumpToHeader(DicomParser& parser) const try {
    if (!parser.hasPreamble()) {
        uint32_t word;
        if (!parser.firstTagWord(word) || !DicomDictionary::getInstance().isKnownTag(word))
            return false;
    }
    parser.open();
    return true;
} VEXA_RETHROW

std::map<uint32_t, std::string> UniversalImporter::readValues(const uint8_t* data, std::size_t size,
                                                              const std::string& source, std::size_t totalSize,
                                                              std::string* damage) const try {
    DicomParser parser(data, size, source, vrResolver());
    if (!jumpToHeader(parser))
        throw DicomException(DicomException::NoImporter, source + ": not a DICOM file");
    parser.setStopAtPixelData(true);
    std::map<uint32_t, std::string> values;
    readTexts(parser, values);
    // Only the length of the pixel data is compared with the file's: their bytes are not read.
    if (damage && parser.reachedPixelData()) {
        try {
            parser.pixelDataHeader(totalSize);
        } catch (const DicomException& error) {
            // The beginning read may end inside the element's header: the caller reads on then.
            if (error.code() != DicomTruncated || size < totalSize)
                throw;
            *damage = DicomIOManager::reasonOf(error, source);
        }
    }
    return values;
} VEXA_RETHROW

void UniversalImporter::readTexts(DicomParser& parser, std::map<uint32_t, std::string>& values) const try {
    for (const DicomElement& element : parser.metaElements())
        values[element.tagWord()] = parser.text(element);
    // (0008,0005) comes before every text it applies to: elements are in ascending tag order.
    DicomCharacterSet characterSet;
    DicomElement element;
    std::string text;
    while (readDicomTag(parser, element, text)) {
        if (element.tagWord() == specificCharacterSetTag)
            characterSet = DicomCharacterSet(text);
        else if (DicomCharacterSet::appliesTo(element.vr))
            text = characterSet.toUtf8(text, element.vr == DicomVR('P', 'N'));
        values[element.tagWord()] = std::move(text);
    }
} VEXA_RETHROW

std::map<uint32_t, std::string> UniversalImporter::readValues(const std::string& file, std::string* damage) const try {
    std::vector<uint8_t> buffer;
    const std::size_t total = DicomFile::read(file, buffer, headerPrefix);
    try {
        return readValues(buffer.data(), buffer.size(), file, total, damage);
    } catch (const DicomException& error) {
        // The prefix may end inside a long header: read the whole file then.
        if (error.code() != DicomTruncated || total <= buffer.size())
            throw;
    }
    DicomFile::read(file, buffer, total);
    return readValues(buffer.data(), buffer.size(), file, total, damage);
} VEXA_RETHROW

int UniversalImporter::imageDeviceOf(const std::map<uint32_t, std::string>& values) const
{
    auto modality = values.find(modalityTag);
    if (modality != values.end()) {
        if (modality->second == "CT")
            return DicomInformation::CT;
        if (modality->second == "PX")
            return DicomInformation::OPG;
    }
    return DicomInformation::Unknown;
}

bool UniversalImporter::acceptsHeader(const std::map<uint32_t, std::string>* values) const
{
    // A damaged header is taken so that reading it reports what is wrong with it.
    if (!values)
        return true;
    auto model = values->find(modelNameTag);
    return model == values->end() || model->second.find("9000") == std::string::npos;
}

std::shared_ptr<DicomInformation> UniversalImporter::readInformation(const uint8_t* data, std::size_t size,
                                                                     const std::string& source) const try {
    auto values = readValues(data, size, source);
    const int device = imageDeviceOf(values);
    return std::make_shared<DicomInformation>(std::move(values), device);
} VEXA_RETHROW

std::shared_ptr<DicomInformation> UniversalImporter::readInformation(const std::string& file) const try {
    std::string damage;
    auto values = readValues(file, &damage);
    const int device = imageDeviceOf(values);
    auto information = std::make_shared<DicomInformation>(std::move(values), device);
    information->setDamage(std::move(damage));
    return information;
} VEXA_RETHROW

bool UniversalImporter::canRead(const std::string& file) const
{
    try {
        std::vector<uint8_t> buffer;
        DicomFile::read(file, buffer, sniffPrefix);
        DicomParser parser(buffer.data(), buffer.size(), file);
        uint32_t word;
        if (!parser.hasPreamble() && !(parser.firstTagWord(word) && DicomDictionary::getInstance().isKnownTag(word)))
            return false;
    } catch (...) {
        return false;
    }
    try {
        auto values = readValues(file);
        return acceptsHeader(&values);
    } catch (...) {
        return acceptsHeader(nullptr);
    }
}

void UniversalImporter::setFiles(const std::vector<std::string>& files)
{
    files_ = files;
}

std::shared_ptr<DicomData> UniversalImporter::getData() const
{
    return data_;
}

void UniversalImporter::resetProgress()
{
    progress_ = 0.0;
    cancelled_ = false;
}

bool UniversalImporter::start() try {
    progress_ = 0.0;
    data_.reset();
    DicomSeriesReader reader(*this, cancelled_, progress_);
    data_ = reader.read(files_);
    progress_ = 1.0;
    return true;
} VEXA_RETHROW

void UniversalImporter::cancel()
{
    cancelled_ = true;
}

double UniversalImporter::getProgressState() const
{
    return progress_;
}

std::string UniversalImporter::getShortDescription() const
{
    return "Importing DICOM series";
}

bool UniversalImporter::isCancelable() const
{
    return true;
}

}
