#include "vexa/core/Clock.h"

#include "platform/MultimediaTimer.h"

namespace Vexa {

std::uint32_t timeGetTime()
{
    return Platform::timeGetTime();
}

}
