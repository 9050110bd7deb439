#include "tapewright/plugins/AbstractSliderSetValue/AbstractSliderSetValueAD.h"

#include "tapewright/ScriptElements.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QAbstractSlider>
#include <QEvent>

AbstractSliderSetValueAD::AbstractSliderSetValueAD(const char* className)
    : className_(className), tag_(QString::fromLatin1(className) + QStringLiteral("::setValue"))
{
}

EventReplacement AbstractSliderSetValueAD::record(QObject* receiver, QEvent* event, bool spontaneous,
                                                  QDomDocument& document)
{
    auto* slider = qobject_cast<QAbstractSlider*>(receiver);
    if (!spontaneous || !slider || !receiver->inherits(className_))
        return EventReplacement(Pass);
    switch (event->type()) {
    case QEvent::MouseButtonRelease: {
        QDomElement element = ScriptElements::adapterElement(document, tag_);
        element.setAttribute(QStringLiteral("value"), slider->value());
        return EventReplacement(element, Block);
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
        return EventReplacement(Block);
    default:
        return EventReplacement(Pass);
    }
}

bool AbstractSliderSetValueAD::play(QObject* widget, const QDomElement& element)
{
    if (AdapterSupport::tagOf(element) != tag_.toLower())
        return false;
    auto* slider = qobject_cast<QAbstractSlider*>(widget);
    if (slider && widget->inherits(className_))
        slider->setValue(AdapterSupport::intAttribute(element, "value", 0));
    else
        AdapterSupport::reportWrongClass(tag_, widget);
    return true;
}
