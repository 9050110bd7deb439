#include "tapewright/PendingTimer.h"

#include "tapewright/TimerKiller.h"

PendingTimer::PendingTimer(QObject* object, int timerId, TimerKiller* owner)
    : object_(object), timerId_(timerId), owner_(owner)
{
    connect(object, &QObject::destroyed, this, &PendingTimer::dying);
}

void PendingTimer::dying()
{
    owner_->forget(this);
}
