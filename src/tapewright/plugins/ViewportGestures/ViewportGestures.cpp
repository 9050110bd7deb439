#include "tapewright/plugins/ViewportGestures/ViewportGestures.h"

#include "tapewright/AdapterInterface.h"
#include "tapewright/QtCompat.h"
#include "tapewright/RecorderAdapter.h"

#include <QMouseEvent>
#include <QWidget>

ViewportGestures::State& ViewportGestures::state(QObject* viewport)
{
    if (!states_.contains(viewport))
        QObject::connect(viewport, &QObject::destroyed, &guard_, [this, viewport] { states_.remove(viewport); });
    return states_[viewport];
}

std::optional<EventReplacement> ViewportGestures::filter(QWidget* viewport, const QMouseEvent* event)
{
    State& s = state(viewport);
    const bool release = event->type() == QEvent::MouseButtonRelease;
    if (s.pressOnEmpty && !release)
        return EventReplacement(Block);
    const QPoint pos = event->position().toPoint();
    const bool inside = pos.x() >= 0 && pos.y() >= 0 && pos.x() < viewport->width() && pos.y() < viewport->height();
    if (!inside && !release) {
        if (QtCompat::stateBefore(event) != 0 || event->buttons() != Qt::NoButton || event->modifiers() != Qt::NoModifier)
            s.dragOutside = true;
        return EventReplacement(Block);
    }
    return std::nullopt;
}

EventReplacement ViewportGestures::finish(QObject* viewport, const QMouseEvent* event, const QDomElement& mouseElement,
                                          const std::function<QDomElement()>& snapshot)
{
    State& s = state(viewport);
    AdapterInterface* recorder = RecorderAdapter::adapterInterface();
    if (event->type() != QEvent::MouseButtonRelease || !(s.dragOutside || s.pressOnEmpty) || !recorder)
        return EventReplacement(mouseElement, Block);
    s.dragOutside = s.pressOnEmpty = false;
    recorder->addElement(mouseElement.cloneNode().toElement(), -1);
    return EventReplacement(snapshot(), Block);
}
