#include "tapewright/PostedEvent.h"

#include <QtGlobal>

PostedEvent::PostedEvent(const QDomElement& element, const QString& origin)
    : QEvent(eventType()), element_(element), origin_(origin)
{
    if (element.isNull())
        qWarning("ASSERT: \"%s\" in %s (%d)", "!elm.isNull()", __FILE__, __LINE__);
}

QEvent::Type PostedEvent::eventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType(QEvent::User + 1));
    return type;
}
