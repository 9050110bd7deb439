#pragma once
// Stand-in for the debugger output of the original platform: text goes to standard error.
#include <string_view>

namespace Platform {

// Writes the text to the debug sink as one unit (thread-safe; lines of concurrent writers
// do not interleave).
void outputDebugString(std::string_view text);

}
