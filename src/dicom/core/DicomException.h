#pragma once
// The failure raised by the DICOM classes: a runtime error that also carries a numeric code,
// so that callers can tell the kinds of failure apart without parsing the text.
#include <stdexcept>
#include <string>

namespace Vexa {

class DicomException : public std::runtime_error
{
public:
    // Codes with a fixed meaning. New codes start at 20100 so that an unassigned number
    // below it is never given a second meaning.
    enum Code : int
    {
        NoImporter = 20005,          // no registered importer reads the file
        VRMismatch = 20006,          // an explicit VR does not fit the dictionary entry
        UnknownTag = 20008,          // no dictionary entry, or a VR index outside the entry's list
        DictionaryFillFailed = 20009 // a dictionary fill step reported failure
    };

    explicit DicomException(int code);
    DicomException(int code, const std::string& message);

    int code() const noexcept { return code_; }

private:
    int code_;
};

}
