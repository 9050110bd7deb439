#include "views/navigation/NavigationAdjustView.h"

#include "navigation/NavigationController.h"
#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"
#include "views/navigation/DisplayTimer.h"
#include "views/navigation/AdjustWorkspaceView.h"
#include "views/navigation/MessageView.h"
#include "views/navigation/RegistrationView.h"
#include "views/navigation/SnapshotDataSource.h"
#include "views/navigation/TargetingView.h"

NavigationAdjustView::NavigationAdjustView(std::shared_ptr<Model> model, std::shared_ptr<NavigationController> controller,
                                           QWidget* parent, const char* name)
    : QStackedWidget(parent), model_(std::move(model)), controller_(std::move(controller))
{
    if (name)
        setObjectName(name);
    adjust_ = new AdjustWorkspaceView(controller_, this);
    // The targeting page reads one snapshot per refresh; a null Model gives it nothing to show.
    if (model_)
        source_ = std::make_shared<SnapshotDataSource>(model_, controller_);
    targeting_ = new TargetingView(source_, this);
    message_ = new MessageView(controller_, this);
    registration_ = new RegistrationView(controller_, this);
    if (model_)
        model_->attach(this);
    addWidget(adjust_);
    addWidget(targeting_);
    addWidget(message_);
    addWidget(registration_);
    setCurrentIndex(0);
    DisplayTimer::connect(this, *this);
}

NavigationAdjustView::~NavigationAdjustView()
{
    if (model_)
        model_->detach(this);
    stopSelfUpdating();
}

Quorvane::IView* NavigationAdjustView::clone(QWidget* parent) const
{
    return new NavigationAdjustView(model_, controller_, parent, objectName().toUtf8().constData());
}

void NavigationAdjustView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    if (!controller_ || !controller_->isNavigationEnabled())
        return;
    // One snapshot decides the page and fills the targeting page (which reads only what its
    // source captured).
    NavigationSnapshot state;
    if (source_) {
        source_->capture();
        state = source_->snapshot();
    } else if (const auto snapshot = controller_->getSnapshot()) {
        state = *snapshot;
    }
    QWidget* page = targeting_;
    if (state.cameraState != 1) {
        message_->setMessage("Navigation camera\nis not responding!");
        page = message_;
    } else if (state.controllerState == NavigationController::CameraAdjustment) {
        page = adjust_;
    } else if (state.controllerState == NavigationController::DrillRegistration) {
        page = registration_;
    } else if (!controller_->wasCalibrationDoneBefore()) {
        message_->setMessage("Please calibrate\nthe instrument.");
        page = message_;
    }
    setCurrentWidget(page);
    // Inside another page stack (the main window's mini display) show only as its current
    // page, never over the page it shows.
    const auto* host = qobject_cast<QStackedWidget*>(parentWidget());
    if (!isVisible() && parentWidget() && (!host || host->currentWidget() == this))
        show();
    if (!isVisible())
        return;
    if (page == message_)
        message_->refresh();
    else if (page == adjust_)
        adjust_->refresh();
    else if (page == targeting_)
        targeting_->refresh();
    else
        registration_->refresh();
    QWidget::update();
}
VEXA_RETHROW
