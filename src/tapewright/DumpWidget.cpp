#include "tapewright/DumpWidget.h"

#include "tapewright/TapewrightUtil.h"

#include <QApplication>
#include <QCursor>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>

DumpWidget::DumpWidget() : QLabel(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), hideTimer_(new QTimer(this))
{
    setObjectName(QStringLiteral("DumpWidget"));
    setAttribute(Qt::WA_QuitOnClose, false);
    setAutoFillBackground(true);
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::yellow);
    setPalette(colours);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setText(tr("<qt><center><font size=\"+4\">Please select a widget</font></center></qt>"));
    hideTimer_->setSingleShot(true);
    hideTimer_->setInterval(2000);
    connect(hideTimer_, &QTimer::timeout, this, &QWidget::hide);
}

QObject* DumpWidget::pickWidget()
{
    static DumpWidget* instance = new DumpWidget;
    // Placed at the cursor and timed anew for every pick.
    instance->move(QCursor::pos() - QPoint(instance->sizeHint().width() / 2, instance->sizeHint().height() / 2));
    instance->picked_ = nullptr;
    instance->show();
    instance->hideTimer_->start();
    QApplication::setOverrideCursor(Qt::CrossCursor);
    qApp->installEventFilter(instance);
    QEventLoop loop;
    instance->loop_ = &loop;
    loop.exec();
    instance->loop_ = nullptr;
    qApp->removeEventFilter(instance);
    instance->hide();
    QApplication::restoreOverrideCursor();
    return instance->picked_;
}

bool DumpWidget::eventFilter(QObject* object, QEvent* event)
{
    if (event->type() != QEvent::MouseButtonPress)
        return false;
    // Qt shows each press to the window object first: taken there, the widget is not given focus.
    QWidget* widget = TapewrightUtil::mouseTarget(object, static_cast<QMouseEvent*>(event));
    if (!widget)
        widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return false;
    if (widget->window() == this) {
        hide();
        return true;
    }
    picked_ = widget;
    if (loop_)
        loop_->quit();
    return true;
}
