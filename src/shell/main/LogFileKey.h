#pragma once
// The process-wide 16-byte key of the encrypted log files (AES-128).
#include <vector>

namespace Quorvane {
const std::vector<char>& logFileKey();
}
