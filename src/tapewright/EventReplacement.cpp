#include "tapewright/EventReplacement.h"

#include <QtGlobal>

EventReplacement::EventReplacement(BlockInfo info) : noElement_(true), block_(blocks(info)) {}

EventReplacement::EventReplacement(const QDomElement& element, BlockInfo info)
    : noElement_(false), element_(element), block_(blocks(info))
{
}

bool EventReplacement::blocks(BlockInfo info)
{
    if (info != Block && info != Pass)
        qWarning("Invalid value to BlockInfo parameter for EventReplacement");
    return info == Block;
}
