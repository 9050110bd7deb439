#pragma once
// Where a fuzz target writes its input for a reader that takes files: in the temporary folder
// (TMPDIR, which a test run points into a folder of its own; /tmp where none is set), one name
// per process, so that runs side by side do not meet. The target removes what it wrote.
#include <cstdlib>
#include <string>
#include <unistd.h>

inline std::string fuzzScratchFile(const char* name)
{
    const char* temporary = std::getenv("TMPDIR");
    return std::string(temporary && temporary[0] == '/' ? temporary : "/tmp") + "/morvanta_fuzz_" + name + "_" +
           std::to_string(::getpid());
}
