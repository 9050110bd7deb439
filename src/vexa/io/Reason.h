#pragma once
// The system's own words for an errno value. Every message about a failed file step names its
// cause by them, so that the cause told is the error's own.
#include <cstring>
#include <string>

namespace Vexa {

inline std::string reasonOf(int error)
{
    return std::strerror(error);
}

}
