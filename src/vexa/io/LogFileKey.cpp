#include "vexa/io/LogFileKey.h"

namespace Vexa {

const std::vector<char>& getLogFileKey()
{
    static const std::vector<char> key = [] {
        const unsigned char bytes[16] = {0x4d, 0x6f, 0x72, 0x76, 0x1c, 0xa3, 0x5e, 0x90,
                                         0x27, 0xd4, 0x88, 0x3b, 0xf1, 0x06, 0x6a, 0xc5};
        return std::vector<char>(reinterpret_cast<const char*>(bytes), reinterpret_cast<const char*>(bytes) + 16);
    }();
    return key;
}

}
