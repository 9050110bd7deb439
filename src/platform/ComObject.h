#pragma once
// Stand-in for IUnknown: the base of every object a COM server hands out. Shared ownership
// takes the place of AddRef and Release; asking for an interface is a dynamic cast.
namespace Platform {

class ComObject
{
public:
    virtual ~ComObject() = default;
};

}
