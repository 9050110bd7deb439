#pragma once
// A view whose slice steps along its normal.
namespace Quorvane {

class IStepperable
{
public:
    virtual ~IStepperable() = default;
    virtual void stepUp() = 0;
    virtual void stepDown() = 0;
};

}
