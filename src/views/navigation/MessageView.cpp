#include "views/navigation/MessageView.h"

#include "navigation/NavigationController.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"
#include "views/navigation/CanvasText.h"

#include <QResizeEvent>
#include <algorithm>

MessageView::MessageView(std::shared_ptr<NavigationController> controller, QWidget* parent)
    : CanvasView(parent, Qt::red), controller_(std::move(controller))
{
    text_ = new CanvasText(canvas(), message_, Qt::AlignCenter, 255.0);
    text_->setColor(Qt::white);
    const QSize size = initialSize();
    layoutItems(size.width(), size.height());
    setAllChanged();
}

MessageView::~MessageView() = default;

void MessageView::layoutItems(int w, int h) try
{
    text_->setFont(CanvasText::arial(std::min(w, h) * 0.08));
    text_->setPos(w / 2, h / 2);
}
VEXA_RETHROW


void MessageView::setMessage(const QString& message)
{
    message_ = message;
}

QString MessageView::shownText() const
{
    return text_->text();
}

void MessageView::applyMessage()
{
    text_->setText(message_);
}

void MessageView::refresh() try
{
    if (!isVisible() || !controller_ || !controller_->isNavigationEnabled())
        return;
    applyMessage();
    viewport()->update();
}
VEXA_RETHROW
