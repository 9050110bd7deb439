#include "platform/ComError.h"

#include <cstdio>

namespace Platform {

ComError::ComError(std::int32_t hresult, std::string interfaceId, const std::string& text)
    : std::runtime_error(text), hresult_(hresult), interfaceId_(std::move(interfaceId))
{
}

std::string ComError::describe(std::int32_t hresult)
{
    switch (hresult) {
    case pointer:
        return "Invalid pointer";
    case noInterface:
        return "No such interface supported";
    case classNotRegistered:
        return "Class not registered";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "Error 0x%08X", static_cast<unsigned>(hresult));
        return text;
    }
    }
}

}
