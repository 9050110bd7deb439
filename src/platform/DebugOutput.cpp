#include "platform/DebugOutput.h"

#include <cstdio>
#include <mutex>

namespace Platform {

void outputDebugString(std::string_view text)
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}
