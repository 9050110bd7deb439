#include "tapewright/IgnoreMap.h"

void IgnoreMap::ignore(QObject* object)
{
    if (!object)
        return;
    if (!map_.contains(object))
        connect(object, &QObject::destroyed, this, &IgnoreMap::objectDies);
    map_.insert(object, true);
}

void IgnoreMap::objectDies(QObject* object)
{
    if (map_.remove(object))
        disconnect(object, &QObject::destroyed, this, &IgnoreMap::objectDies);
}
