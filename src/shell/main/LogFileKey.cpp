#include "shell/main/LogFileKey.h"

namespace Quorvane {

const std::vector<char>& logFileKey()
{
    static const std::vector<char> key = {'\x4d', '\x6f', '\x72', '\x76', '\x61', '\x6e', '\x74', '\x61',
                                          '\x2d', '\x6c', '\x6f', '\x67', '\x2d', '\x6b', '\x65', '\x79'};
    return key;
}

}
