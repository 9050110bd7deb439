#pragma once
// The header of one DICOM file: the text of each top-level element by tag word, and the kind of
// imaging device the importer recognised.
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace Vexa {

class DicomInformation
{
public:
    enum Device { Unknown = 0, CT = 1, DVT = 2, OPG = 3 };

    DicomInformation() = default;
    DicomInformation(std::map<uint32_t, std::string> values, int device);

    // The tag as element << 16 | group ((0010,0020) is 0x00200010): its text and true, or an
    // empty text and false when the header does not hold it.
    std::pair<std::string, bool> getValue(unsigned tagWord) const;
    int getImageDevice();
    // "Unknown", "CT", "DVT" or "OPG"; empty for any other code.
    std::string getImageDeviceName() const;

    const std::map<uint32_t, std::string>& getValues() const { return values_; }

private:
    std::map<uint32_t, std::string> values_;
    int device_ = Unknown;
};

}
