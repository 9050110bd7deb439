#pragma once
// A benchmark over a slow file share: the process runs itself again with the slow-folder shim
// preloaded (its environment set by the caller first), and removes the share's folders at its end
// by a program the shim does not slow.
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace SlowShare {

// Replaces the process by itself, with the same command line; returns only where that failed.
inline void runAgain()
{
    std::ifstream commandLine("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> words;
    for (std::string word; std::getline(commandLine, word, '\0');)
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
}

inline void removeUnslowed(const std::string& folder)
{
    const std::string command = "env -u LD_PRELOAD rm -rf '" + folder + "'";
    [[maybe_unused]] const int status = std::system(command.c_str());
}

}
