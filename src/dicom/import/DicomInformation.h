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

    // What keeps the file's image from being read although its header reads (the file cut short
    // in its pixel data), in words for the user; empty when nothing is known to.
    const std::string& damage() const { return damage_; }
    void setDamage(std::string damage) { damage_ = std::move(damage); }

private:
    std::map<uint32_t, std::string> values_;
    int device_ = Unknown;
    std::string damage_;
};

}
