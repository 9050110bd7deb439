#include "tapewright/TimerKiller.h"

#include "tapewright/PendingTimer.h"

#include <QCoreApplication>
#include <QTimerEvent>
#include <algorithm>

TimerKiller::TimerKiller()
{
    qApp->installEventFilter(this);
}

TimerKiller::~TimerKiller()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool TimerKiller::eventFilter(QObject* receiver, QEvent* event)
{
    if (released_ || event->type() != QEvent::Timer)
        return false;
    const int id = static_cast<QTimerEvent*>(event)->timerId();
    const bool held = std::any_of(pending_.begin(), pending_.end(), [&](const auto& timer) {
        return timer->object() == receiver && timer->timerId() == id;
    });
    if (!held)
        pending_.push_back(std::make_unique<PendingTimer>(receiver, id, this));
    return true;
}

void TimerKiller::release()
{
    if (released_)
        return;
    released_ = true;
    qApp->removeEventFilter(this);
    for (const auto& timer : pending_)
        QCoreApplication::postEvent(timer->object(), new QTimerEvent(timer->timerId()));
    pending_.clear();
    deleteLater();
}

void TimerKiller::forget(PendingTimer* timer)
{
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [timer](const auto& held) { return held.get() == timer; });
    if (it == pending_.end())
        return;
    // The record's own destroyed connection is being delivered: delete it later.
    it->release()->deleteLater();
    pending_.erase(it);
}
