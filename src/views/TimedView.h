#pragma once
// A view that redraws itself on a timer while the Model navigates (state 7): the timer runs
// from the first notification in state 7 to the first one in another state. Redrawing is the
// concrete view's business; it connects the timer's timeout() to its own update.
//
// Notifications may arrive in any thread (the navigation timer notifies from its own); the
// timer, the widget and the textures belong to the GUI thread, so a concrete view's `update`
// starts with `handOverToGuiThread` and returns when that posted the call.
#include "views/IView.h"

#include "vexa/core/IObserver.h"

#include <QTimer>
#include <atomic>
#include <memory>

class Model;

class TimedView : public Vexa::IObserver, public Quorvane::IView
{
public:
    // Stopped timer, 15 updates per second.
    TimedView();
    ~TimedView() override;

    // Updates per second, used at the next start of the timer. Throws for a rate that is not
    // a positive finite number.
    void setRate(double updatesPerSecond);
    double getRate() const { return rate_; }
    // Starts the timer with int(1000 / rate) ms unless it already runs.
    void startSelfUpdating();
    void stopSelfUpdating();
    QTimer* getTimer() { return &timer_; }

    // The timed rule: running exactly while the Model is in state 7.
    void update() override;
    virtual std::shared_ptr<Model> getModel() const = 0;

protected:
    // Outside the GUI thread: posts one call of `update` to the GUI thread (a call already
    // pending takes this one in) and returns true; the caller then returns at once.
    bool handOverToGuiThread();

private:
    QTimer timer_;
    double rate_ = 15.0;
    std::atomic<bool> handOverPending_{false};
};
