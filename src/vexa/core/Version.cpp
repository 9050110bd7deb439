#include "vexa/core/Version.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace Vexa {

Version::Version(unsigned major, unsigned minor, unsigned patch)
    : major_(major), minor_(minor), patch_(patch)
{
}

Version::Version(const std::string& text)
{
    unsigned* const parts[] = {&major_, &minor_, &patch_};
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < text.size() && next < 3) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        unsigned long long value = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > std::numeric_limits<unsigned>::max())
                value = std::numeric_limits<unsigned>::max() + 1ULL; // saturate, keep reading digits
        }
        *parts[next++] = static_cast<unsigned>(std::min<unsigned long long>(value, std::numeric_limits<unsigned>::max()));
    }
}

std::string Version::toString(const std::string& separator) const
{
    return std::to_string(major_) + separator + std::to_string(minor_) + separator + std::to_string(patch_);
}

bool operator>(const Version& a, const Version& b)
{
    if (a.getMajor() != b.getMajor())
        return a.getMajor() > b.getMajor();
    return a.getMinor() > b.getMinor();
}

bool operator>=(const Version& a, const Version& b)
{
    if (a.getMajor() != b.getMajor())
        return a.getMajor() > b.getMajor();
    return a.getMinor() >= b.getMinor();
}

const Version& getProgramVersion()
{
    static const Version version(2, 0, 3);
    return version;
}

const Version& getImageDataGroupVersion()
{
    static const Version version(1, 9, 0);
    return version;
}

}
