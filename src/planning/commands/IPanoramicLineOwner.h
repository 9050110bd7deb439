#pragma once
// What the panoramic line commands need of their owner (the Model): the one line of the
// planning, asked afresh at every execute and undo.
#include <memory>

class PanoramicLine;

class IPanoramicLineOwner
{
public:
    virtual ~IPanoramicLineOwner() = default;
    virtual std::shared_ptr<PanoramicLine> getPanoramicLine() const = 0;
};
