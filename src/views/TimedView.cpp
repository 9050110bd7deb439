#include "views/TimedView.h"

#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"

#include <QThread>
#include <cmath>
#include <stdexcept>

TimedView::TimedView() = default;

TimedView::~TimedView()
{
    stopSelfUpdating();
}

void TimedView::setRate(double updatesPerSecond) try
{
    if (!(updatesPerSecond > 0.0) || !std::isfinite(updatesPerSecond))
        throw std::runtime_error("TimedView::setRate: the rate must be a positive number");
    rate_ = updatesPerSecond;
}
VEXA_RETHROW

void TimedView::startSelfUpdating() try
{
    if (timer_.isActive())
        return;
    timer_.setSingleShot(false);
    timer_.start(static_cast<int>(1000.0 / rate_));
}
VEXA_RETHROW

void TimedView::stopSelfUpdating()
{
    if (timer_.isActive())
        timer_.stop();
}

void TimedView::update() try
{
    if (handOverToGuiThread())
        return;
    const std::shared_ptr<Model> model = getModel();
    if (model && model->getState() == Model::Navigation)
        startSelfUpdating();
    else
        stopSelfUpdating();
}
VEXA_RETHROW

bool TimedView::handOverToGuiThread()
{
    if (QThread::currentThread() == timer_.thread())
        return false;
    if (!handOverPending_.exchange(true))
        // Posted to the timer, which lives in the GUI thread and dies with the view: a call
        // still queued when the view goes is dropped with it.
        QMetaObject::invokeMethod(
            &timer_,
            [this] {
                handOverPending_ = false;
                try {
                    update();
                }
                VIEW_CATCH_ALL
            },
            Qt::QueuedConnection);
    return true;
}
