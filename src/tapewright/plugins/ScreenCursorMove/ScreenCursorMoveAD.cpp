#include "tapewright/plugins/ScreenCursorMove/ScreenCursorMoveAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QCursor>
#include <QWidget>

bool ScreenCursorMoveAD::play(QObject* widget, const QDomElement& element)
{
    if (AdapterSupport::tagOf(element) != QLatin1String("screencursormove"))
        return false;
    if (TapewrightSettings::instance().ignoreMouseMovement())
        return true;
    auto* w = qobject_cast<QWidget*>(widget);
    if (!w) {
        reportError(true, QObject::tr("Tag=ScreenCursorMoveAD but widget was of class %1")
                              .arg(QString::fromLatin1(widget ? widget->metaObject()->className() : "(none)")));
        return true;
    }
    QCursor::setPos(w->mapToGlobal(QPoint(AdapterSupport::intAttribute(element, "x", 0),
                                          AdapterSupport::intAttribute(element, "y", 0))));
    return true;
}
