#pragma once
// The MicronTracker server's template persistence: the file a marker template loads from.
#include "platform/ComObject.h"

#include <string>

namespace Platform {

class MTPersistence : public ComObject
{
public:
    static constexpr const char* clsid = "{46B896A0-2AA2-474D-9A40-FB9E44BB11C3}";
    static constexpr const char* iid = "{1AC3AF6E-27A6-46A5-BADB-38656F4C3C06}";
    virtual void setPath(const std::string& path) = 0;
};

}
