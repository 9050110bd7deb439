#include "platform/ApplicationFolder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace Platform {

std::string applicationFolder()
{
    if (const char* home = std::getenv("MORVANTA_HOME"); home && *home) {
        std::string folder(home);
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        return folder;
    }
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path(error).string();
    return exe.parent_path().string();
}

std::string applicationPath(const std::string& relative)
{
    return applicationFolder() + "/" + relative;
}

}
