#pragma once
// Carries one script element to its target object through the event queue, so that key, focus
// and adapter elements keep their place after the mouse events posted by earlier steps.
#include <QDomElement>
#include <QEvent>

class PostedEvent : public QEvent
{
public:
    explicit PostedEvent(const QDomElement& element);

    QDomElement element() const { return element_; }
    static QEvent::Type eventType();

private:
    QDomElement element_;
};
