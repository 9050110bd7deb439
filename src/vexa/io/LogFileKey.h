#pragma once
// The process-wide key of the encrypted log files.
#include <vector>

namespace Vexa {

// The 16-byte key with which the program enciphers its recording files (EncFile with a
// 128-bit Rijndael). It is built into the program, so every installation reads the
// recordings of every other.
const std::vector<char>& getLogFileKey();

}
