#pragma once
// The MicronTracker server's marker processing: the markers searched for in a grabbed frame.
#include "platform/ComObject.h"

#include <cstdint>
#include <memory>

namespace Platform {

class MTMarker;

class MTMarkerProcessing : public ComObject
{
public:
    static constexpr const char* iid = "{AAD55C02-E671-4860-A36E-CCEC4606D547}";
    virtual void setOption15(std::int32_t value) = 0;
    virtual void setOption19(double value) = 0;
    virtual void addTemplate(const std::shared_ptr<MTMarker>& marker) = 0;
    virtual void clearTemplates() = 0;
    virtual void processFrame(short option) = 0;
};

}
