#pragma once
// The MicronTracker server's collection of attached cameras.
#include "platform/ComObject.h"

#include <memory>
#include <string>

namespace Platform {

class MTCamera;

class MTCameraCollection : public ComObject
{
public:
    static constexpr const char* iid = "{F915FC27-F11C-4570-900D-C223B1FB9175}";
    // Attaches the cameras, their calibration files in the folder; raises when none attaches.
    virtual void attachAvailableCameras(short first, short second, const std::string& folder) = 0;
    // Grabs a frame of the camera; 0 when there is no new frame.
    virtual short grabFrame(const std::shared_ptr<MTCamera>& camera) = 0;
    virtual std::shared_ptr<MTCamera> item(short index) = 0;
    virtual short count() = 0;
    virtual void detach() = 0;
};

}
