#pragma once
// Carries one script element to its target object through the event queue, so that key, focus
// and adapter elements keep their place after the mouse events posted by earlier steps.
#include <QDomElement>
#include <QEvent>

class PostedEvent : public QEvent
{
public:
    // `origin` says where the element comes from ("the element 'X' on line 3 of 'f.tws'"), for a
    // report about it made when the event arrives.
    explicit PostedEvent(const QDomElement& element, const QString& origin = QString());

    QDomElement element() const { return element_; }
    QString origin() const { return origin_; }
    static QEvent::Type eventType();

private:
    QDomElement element_;
    QString origin_;
};
