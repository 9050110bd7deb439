#include "tapewright/plugins/QPopupSelect/PopupMap.h"

#include <QApplication>
#include <QMenu>

void PopupMap::addPopup(QObject* popup)
{
    if (popups_.contains(popup))
        return;
    popups_.append(popup);
    connect(popup, &QObject::destroyed, this, &PopupMap::removeItem);
    if (!filterInstalled_) {
        filterInstalled_ = true;
        qApp->installEventFilter(this);
    }
}

void PopupMap::removeItem(QObject* object) { popups_.removeAll(object); }

bool PopupMap::eventFilter(QObject* watched, QEvent* event)
{
    // Input reaches a widget's window object before the widget; only widgets count, or a click
    // into the popup itself would close it on its way in.
    if (!watched->isWidgetType() || qobject_cast<QMenu*>(watched))
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        break;
    default:
        return false;
    }
    qApp->removeEventFilter(this);
    filterInstalled_ = false;
    const QList<QObject*> popups = std::exchange(popups_, {});
    for (QObject* popup : popups) {
        auto* widget = static_cast<QWidget*>(popup);
        disconnect(popup, &QObject::destroyed, this, &PopupMap::removeItem);
        if (widget->isVisible())
            widget->close();
    }
    return false;
}
