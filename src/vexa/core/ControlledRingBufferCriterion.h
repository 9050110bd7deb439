#pragma once

namespace Vexa {

// Decides which elements of a ControlledRingBuffer are still valid. The base reports every
// element valid, so a buffer using it never drops one as invalid.
template<class T>
class ControlledRingBufferCriterion
{
public:
    virtual ~ControlledRingBufferCriterion() = default;
    virtual bool isValid(const T& /*value*/) const { return true; }
};

}
