#pragma once
// The folder the program's run-time data live in (settings, bitmaps, sounds, meshes, the implant
// database, logs). Every path that is joined to the application folder goes through here, so tests
// and tools can point the program at a data folder of their own.
#include <string>

namespace Platform {

// The executable's folder, or the value of the environment variable MORVANTA_HOME when it is
// set and not empty. Never ends with a separator.
std::string applicationFolder();

// applicationFolder() + "/" + relative.
std::string applicationPath(const std::string& relative);

}
