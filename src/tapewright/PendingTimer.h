#pragma once
// One timer event held back by a TimerKiller: the receiver and the timer's id. Forgotten when
// its receiver is destroyed, so nothing is posted to a dead object.
#include <QObject>

class TimerKiller;

class PendingTimer : public QObject
{
    Q_OBJECT
public:
    PendingTimer(QObject* object, int timerId, TimerKiller* owner);

    QObject* object() const { return object_; }
    int timerId() const { return timerId_; }

private slots:
    void dying();

private:
    QObject* object_;
    int timerId_;
    TimerKiller* owner_;
};
