#include "vexa/core/ThreadTeam.h"

#include "platform/DebugOutput.h"

#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace Vexa {

ThreadTeam::~ThreadTeam()
{
    for (std::thread& thread : threads_)
        thread.join();
}

void ThreadTeam::refused(std::string_view job, const char* reason) noexcept
{
    static std::mutex mutex;
    static std::set<std::string, std::less<>> told;
    try {
        std::lock_guard<std::mutex> lock(mutex);
        if (!told.emplace(job).second)
            return;
        Platform::outputDebugString(std::string(job) + ": no further thread could be started (" + reason +
                                    "); the threads there are do the work\n");
    } catch (...) {
    }
}

}
