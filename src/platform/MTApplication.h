#pragma once
// The MicronTracker server's application object, the way in to its other objects.
#include "platform/ComObject.h"

#include <memory>

namespace Platform {

class MTCameraCollection;
class MTMarkerProcessing;

class MTApplication : public ComObject
{
public:
    static constexpr const char* clsid = "{FD7EC3F4-5257-4C7C-9670-0B5A767AAE03}";
    static constexpr const char* iid = "{661BD1C7-EB11-4696-91F2-831734FA2830}";
    virtual std::shared_ptr<MTMarkerProcessing> markerProcessing() = 0;
    virtual std::shared_ptr<MTCameraCollection> cameras() = 0;
};

}
