#pragma once
// A marker's pose as the MicronTracker server gives it: rotation elements and translation.
#include "platform/ComObject.h"

namespace Platform {

class MTPoseTransform : public ComObject
{
public:
    static constexpr const char* iid = "{793932BC-7DFA-4C1A-B738-BCE4A6A415A6}";
    // Row and column 0 to 2.
    virtual double rotation(short row, short column) = 0;
    // Index 0 to 2, millimetres.
    virtual double translation(short index) = 0;
};

}
