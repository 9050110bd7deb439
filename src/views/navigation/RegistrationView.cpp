#include "views/navigation/RegistrationView.h"

#include "navigation/NavigationController.h"
#include "navigation/Registration.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"
#include "views/navigation/CanvasEllipse.h"
#include "views/navigation/CanvasText.h"

#include <QCoreApplication>
#include <QResizeEvent>
#include <algorithm>

RegistrationView::RegistrationView(std::shared_ptr<NavigationController> controller, QWidget* parent)
    : CanvasView(parent, Qt::black), controller_(std::move(controller))
{
    heading_ = new CanvasText(canvas(), QCoreApplication::translate("RegistrationView", "Registering Drill"),
                              Qt::AlignCenter, 255.0);
    heading_->setColor(Qt::white);
    base_ = new CanvasEllipse(canvas(), Qt::red, 0);
    sector_ = new CanvasEllipse(canvas(), Qt::green, 0);
    sector_->setAngles(1440, 0);
    const QSize size = initialSize();
    layoutItems(size.width(), size.height());
    setAllChanged();
}

RegistrationView::~RegistrationView() = default;

int RegistrationView::spanFor(unsigned samples)
{
    const unsigned n = std::min(samples, Registration::samplesNeeded);
    return static_cast<int>(n / double(Registration::samplesNeeded) * -5760.0);
}

void RegistrationView::layoutItems(int w, int h) try
{
    const int m = std::max(0, std::min(w, h));
    heading_->setFont(CanvasText::arial(m * 0.08));
    heading_->setPos(w * 0.5, h * 0.1);
    const int d = static_cast<int>(m * 0.75);
    for (CanvasEllipse* item : {base_, sector_}) {
        item->setSize(d, d);
        item->setPos(w * 0.5, h * 0.55);
    }
}
VEXA_RETHROW


void RegistrationView::applyProgress() try
{
    const auto snapshot = controller_ ? controller_->getSnapshot() : nullptr;
    sector_->setAngles(1440, spanFor(snapshot ? snapshot->registrationSamples : 0));
}
VEXA_RETHROW

void RegistrationView::refresh() try
{
    if (!isVisible() || !controller_ || !controller_->isNavigationEnabled())
        return;
    applyProgress();
    viewport()->update();
}
VEXA_RETHROW
