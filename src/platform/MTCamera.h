#pragma once
// A camera of the MicronTracker server, handed back to the server by the calls that need one.
#include "platform/ComObject.h"

namespace Platform {

class MTCamera : public ComObject
{
public:
    static constexpr const char* iid = "MTCamera";
};

}
