#pragma once

namespace Vexa {

// The observing side: told by its subjects that they have changed.
class IObserver
{
public:
    virtual ~IObserver() = default;
    virtual void update() = 0;
};

}
