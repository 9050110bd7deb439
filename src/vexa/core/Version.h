#pragma once
// A version number major.minor.patch, as the program and its planning files carry it.
#include <string>

namespace Vexa {

class Version
{
public:
    Version(unsigned major, unsigned minor, unsigned patch);
    // Every character that is not a digit counts as a blank; the first three numbers are
    // major, minor and patch, missing ones are 0 ("P100.0.0" is 100.0.0, "2.0" is 2.0.0).
    // A number too large for `unsigned` reads as the largest one.
    explicit Version(const std::string& text);

    unsigned getMajor() const { return major_; }
    unsigned getMinor() const { return minor_; }
    unsigned getPatch() const { return patch_; }

    // Major, separator, minor, separator, patch as decimal numbers.
    std::string toString(const std::string& separator) const;

private:
    unsigned major_ = 0;
    unsigned minor_ = 0;
    unsigned patch_ = 0;
};

// Both compare major, then minor; the patch number takes no part.
bool operator>(const Version& a, const Version& b);
bool operator>=(const Version& a, const Version& b);

// The version of this program: 2.0.3.
const Version& getProgramVersion();
// Planning files from this version on keep their DICOM file names in the group "ImageData":
// 1.9.0.
const Version& getImageDataGroupVersion();

}
