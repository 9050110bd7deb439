#include "tapewright/plugins/QPopupSelect/QPopupSelectAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QMenu>
#include <QMouseEvent>
#include <algorithm>

namespace {

// Runs the item and closes the menu with the menus it was opened from, as a click would.
void triggerItem(QMenu* menu, QAction* action)
{
    for (QWidget* m = menu; qobject_cast<QMenu*>(m); m = m->parentWidget())
        m->hide();
    action->trigger();
}

QAction* actionOf(const QMenu* menu, int id)
{
    const QList<QAction*> actions = menu->actions();
    return id >= 0 && id < actions.size() && !actions[id]->isSeparator() ? actions[id] : nullptr;
}

}

int QPopupSelectAD::idAt(const QMenu* menu, const QPoint& point)
{
    QAction* action = menu->actionAt(point);
    return action && !action->isSeparator() ? int(menu->actions().indexOf(action)) : -1;
}

EventReplacement QPopupSelectAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    auto* menu = qobject_cast<QMenu*>(receiver);
    if (!spontaneous || !menu || !AdapterSupport::isMouseEvent(event))
        return EventReplacement(Pass);
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint pos = mouse->position().toPoint();
    const int id = idAt(menu, pos);
    if (id == -1)
        return EventReplacement(Block);
    QAction* action = menu->actions().at(id);
    const QRect rect = menu->actionGeometry(action);
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QPopupMenu::mouseEvent"));
    element.setAttribute(QStringLiteral("id"), id);
    element.setAttribute(QStringLiteral("text"), ScriptElements::xmlText(action->text()));
    TapewrightUtil::writeMouseAttributes(element, mouse, false);
    element.setAttribute(QStringLiteral("offsetX"), pos.x() - rect.left());
    element.setAttribute(QStringLiteral("offsetY"), pos.y() - rect.top());
    return EventReplacement(element, Block);
}

bool QPopupSelectAD::play(QObject* widget, const QDomElement& element)
{
    auto* menu = qobject_cast<QMenu*>(widget);
    if (menu)
        popups_.addPopup(menu);
    const QString tag = AdapterSupport::tagOf(element);
    if (tag == QLatin1String("qpopupmenu::mouseevent")) {
        if (menu)
            playMouse(menu, element);
        return true;
    }
    if (tag == QLatin1String("qpopupmenu::select")) {
        if (!menu)
            reportError(true, QObject::tr("QPopupMenu::Select specified for an object which do not inherit QPopupMenu"));
        else if (QAction* action = actionOf(menu, AdapterSupport::intAttribute(element, "id", 0)))
            triggerItem(menu, action);
        return true;
    }
    return false;
}

void QPopupSelectAD::playMouse(QMenu* menu, const QDomElement& element)
{
    const std::optional<AdapterSupport::Mouse> mouse = AdapterSupport::readMouse(element);
    if (!mouse)
        return;
    int id = AdapterSupport::intAttribute(element, "id", 0);
    if (element.hasAttribute(QStringLiteral("text"))) {
        const QString text = element.attribute(QStringLiteral("text"));
        const QList<QAction*> actions = menu->actions();
        int found = -1, matches = 0;
        for (int i = 0; i < actions.size(); ++i)
            if (!actions[i]->isSeparator() && actions[i]->text() == text) {
                found = i;
                ++matches;
            }
        if (matches == 1)
            id = found;
    }
    QAction* action = actionOf(menu, id);
    if (!action)
        return;
    const QRect rect = menu->isVisible() ? menu->actionGeometry(action) : QRect();
    if (rect.isNull()) {
        // Not on screen: act on the item itself, without any mouse event.
        if (mouse->type == QEvent::MouseButtonRelease)
            triggerItem(menu, action);
        else
            menu->setActiveAction(action);
        return;
    }
    if (mouse->type == QEvent::MouseButtonRelease && pressedMenu_ != menu) {
        // The press went to the menu bar or another menu; Qt would drop this release.
        triggerItem(menu, action);
        return;
    }
    if (mouse->type == QEvent::MouseButtonPress)
        pressedMenu_ = menu;
    else if (mouse->type == QEvent::MouseButtonRelease)
        pressedMenu_ = nullptr;
    using AdapterSupport::add;
    const QPoint point(std::clamp(add(rect.left(), AdapterSupport::intAttribute(element, "offsetX", 0)), rect.left(), rect.right()),
                       std::clamp(add(rect.top(), AdapterSupport::intAttribute(element, "offsetY", 0)), rect.top(), rect.bottom()));
    AdapterSupport::sendMouse(menu, *mouse, point);
}

AdapterInfo QPopupSelectAD::info() const
{
    return {QStringLiteral("QPopupSelectAD"), QObject::tr("QPopupMenu Select"),
            QObject::tr("<qt>Adapts QPopupMenu, so it works with different font and dialog sizes.</qt>")};
}
