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

#include <QDateTime>
#include <QLabel>
#include <QResizeEvent>
#include <algorithm>

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
    // Not one of the stack's pages: it lies over them.
    notice_ = new QLabel(this);
    notice_->setObjectName("journalNotice");
    notice_->setWordWrap(true);
    notice_->setAlignment(Qt::AlignCenter);
    notice_->setAutoFillBackground(true);
    QPalette colours = notice_->palette();
    colours.setColor(QPalette::Window, QColor(170, 0, 0));
    colours.setColor(QPalette::WindowText, Qt::white);
    notice_->setPalette(colours);
    notice_->hide();
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
    showJournalStall();
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

void NavigationAdjustView::showJournalStall() try
{
    const auto stall = model_ ? model_->treatmentLogStall() : std::nullopt;
    if (!stall) {
        notice_->hide();
        return;
    }
    const QString text = QString("The treatment log's folder %1 has not answered since %2. Guidance goes on; the "
                                 "log's lines are kept and go into it once it answers.")
                             .arg(QString::fromStdString(stall->first),
                                  QDateTime::fromSecsSinceEpoch(stall->second).toString("HH:mm:ss"));
    if (notice_->text() != text) {
        notice_->setText(text);
        placeNotice();
    }
    notice_->show();
    notice_->raise();
}
VEXA_RETHROW

void NavigationAdjustView::placeNotice()
{
    // As tall as its text needs at the view's width, never more than half the view: the page
    // above stays in sight.
    QFont font = notice_->font();
    font.setPixelSize(std::clamp(std::min(width(), height()) / 28, 9, 40));
    notice_->setFont(font);
    const int strip = std::min(height() / 2, std::max(notice_->heightForWidth(width()), height() / 7));
    notice_->setGeometry(0, height() - strip, width(), strip);
}

void NavigationAdjustView::resizeEvent(QResizeEvent* event)
{
    QStackedWidget::resizeEvent(event);
    placeNotice();
}
