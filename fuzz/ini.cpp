// Ini files come from planning folders and the implant database: any bytes must parse, and a
// file written back after one change must read back with every other value unchanged.
#include "ScratchFile.h"
#include "vexa/core/IniFileManager.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string file = fuzzScratchFile("ini") + ".ini";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const char* const probes[][2] = {{"Patient", "name"}, {"Planningdata", "version"}, {"", "key"}, {"a", "b"}};
    std::string before[4];
    {
        Vexa::IniFileManager ini(file, 0);
        for (int i = 0; i < 4; ++i)
            before[i] = ini.getValue(probes[i][0], probes[i][1], "\x01missing");
        (void)ini.getValue<double>("Implantdata", "length", 0.0);
        (void)ini.getValue<int>("Implant", "implant", 0);
        ini.setValue("Fuzz", "key", "value");
    } // written back here
    const Vexa::IniFileManager reread(file, Vexa::IniFileManager::ReadOnly);
    if (reread.getValue("Fuzz", "key", "") != "value")
        __builtin_trap();
    for (int i = 0; i < 4; ++i)
        if (reread.getValue(probes[i][0], probes[i][1], "\x01missing") != before[i])
            __builtin_trap();
    std::remove(file.c_str());
    return 0;
}
