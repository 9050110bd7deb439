#pragma once
// The importer of generic DICOM series: reads headers of every uncompressed transfer syntax (and
// the headers of compressed files) and assembles a series of slices into a volume.
#include "dicom/dictionary/EDicomTagValueRepresentation.h"
#include "dicom/import/IDicomImporter.h"
#include "dicom/io/DicomParser.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class UniversalImporter : public IDicomImporter
{
public:
    UniversalImporter();
    ~UniversalImporter() override;

    // The dictionary's VR number of a two-letter code; any other text gives CS (0) and false.
    static bool str2VR(const std::string& text, EDicomTagValueRepresentation& vr);
    // Whether the VR written in a file fits the dictionary entry of the tag: any VR for an entry of
    // version "2", else one of the entry's VRs or UN. DicomException 20008 when the tag has no entry.
    bool checkVR(unsigned tagWord, const std::string& vr) const;
    // Reads the next top-level element and its text. An explicit VR of an even group must pass
    // checkVR (DicomException 20006), except for tags the dictionary lacks, whose VR is taken as
    // written; odd groups never consult the dictionary; an implicit VR is the dictionary's first VR,
    // which also reads an element written as UN. Inside sequences the written VR is kept.
    // False at the end of the header.
    bool readDicomTag(DicomParser& parser, DicomElement& element, std::string& text) const;
    // Whether the data is DICOM: "DICM" after the preamble, or else a first tag word the dictionary
    // knows. When it is, reads the meta header, so that readDicomTag can follow.
    bool jumpToHeader(DicomParser& parser) const;
    // The parser's VR decisions, as readDicomTag describes them.
    DicomParser::VRResolver vrResolver() const;
    // The texts of the meta header and of the top-level elements after jumpToHeader, up to the
    // parser's stop; names and other free texts turned into UTF-8 by the data set's (0008,0005).
    void readTexts(DicomParser& parser, std::map<uint32_t, std::string>& values) const;

    // The header of data held in memory (up to the pixel data).
    std::shared_ptr<DicomInformation> readInformation(const uint8_t* data, std::size_t size,
                                                      const std::string& source) const;
    // The image device code of a header: 1 for Modality "CT", 3 for "PX", else 0.
    virtual int imageDeviceOf(const std::map<uint32_t, std::string>& values) const;

    bool canRead(const std::string& file) const override;
    std::shared_ptr<DicomInformation> readInformation(const std::string& file) const override;
    void setFiles(const std::vector<std::string>& files) override;
    std::shared_ptr<DicomData> getData() const override;
    void resetProgress() override;

    bool start() override;
    void cancel() override;
    double getProgressState() const override;
    std::string getShortDescription() const override;
    bool isCancelable() const override;

protected:
    // Whether a DICOM file with this header belongs to this importer (null: the header is damaged).
    virtual bool acceptsHeader(const std::map<uint32_t, std::string>* values) const;

private:
    // The values of the header; with damage, also whether the pixel data fit into the file of
    // totalSize bytes (the reason they do not, else empty).
    std::map<uint32_t, std::string> readValues(const uint8_t* data, std::size_t size, const std::string& source,
                                               std::size_t totalSize = 0, std::string* damage = nullptr) const;
    std::map<uint32_t, std::string> readValues(const std::string& file, std::string* damage = nullptr) const;

    std::vector<std::string> files_;
    std::shared_ptr<DicomData> data_;
    std::atomic<double> progress_{0.0};
    std::atomic<bool> cancelled_{false};
};

}
