#include "tapewright/RecorderAdapter.h"

namespace {
AdapterInterface* runningRecorder = nullptr;
}

void RecorderAdapter::setEnabled(QObject* object, bool on)
{
    if (object && !enabled_.contains(object))
        QObject::connect(object, &QObject::destroyed, &guard_, [this, object] { enabled_.remove(object); });
    enabled_.insert(object, on);
}

bool RecorderAdapter::isEnabled(QObject* object) const
{
    auto it = enabled_.constFind(object);
    if (it != enabled_.constEnd())
        return *it;
    return enabled_.value(nullptr, true);
}

AdapterInterface* RecorderAdapter::adapterInterface() { return runningRecorder; }

void RecorderAdapter::setAdapterInterface(AdapterInterface* recorder) { runningRecorder = recorder; }
