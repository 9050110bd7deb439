#pragma once
// Holds back the application's timer events while an error box is open, so that playback does
// not move on behind it. Timers keep running (a stopped Qt 6 QTimer ignores a re-posted event);
// each object and timer id is held once, and release() posts it one event with the still valid
// id: a single-shot fires once, a repeating timer fires once and goes on.
#include <QObject>
#include <memory>
#include <vector>

class PendingTimer;

class TimerKiller : public QObject
{
    Q_OBJECT
public:
    TimerKiller();
    ~TimerKiller() override;

    bool eventFilter(QObject* receiver, QEvent* event) override;
    // Gives every held timer one event and ends the killer (deleted later).
    void release();
    // Drops the record of a timer whose receiver is going away.
    void forget(PendingTimer* timer);

private:
    std::vector<std::unique_ptr<PendingTimer>> pending_;
    bool released_ = false;
};
