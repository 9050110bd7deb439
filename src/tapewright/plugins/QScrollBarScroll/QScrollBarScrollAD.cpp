#include "tapewright/plugins/QScrollBarScroll/QScrollBarScrollAD.h"

#include "tapewright/plugins/AdapterSupport.h"

#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QScrollBar>

QScrollBarScrollAD::QScrollBarScrollAD()
    : AbstractScrollAD("QScrollBar", QT_TRANSLATE_NOOP("ScrollAdapter", "QScrollBar scroll"), "", "")
{
}

AdapterInfo QScrollBarScrollAD::info() const
{
    return {QStringLiteral("QScrollBarScrollAD"), QCoreApplication::translate("ScrollAdapter", "QScrollBar scroll"),
            QCoreApplication::translate(
                "ScrollAdapter",
                "<qt><p>This adapter records where a scroll bar was scrolled to, rather than the individual movements. "
                "Without it the widget would scroll to a wrong position when the font or dialog size differs at "
                "playback, and the position would depend on the time between press and release.</p><p><b>Warning:</b> "
                "with this adapter only the <tt>valueChanged</tt> signal of a scroll bar is emitted correctly at "
                "playback, and <tt>mousePressEvent</tt> and <tt>mouseMoveEvent</tt> of QScrollBar subclasses are not "
                "called correctly.</p></qt>")};
}

QObject* QScrollBarScrollAD::owner(QObject* bar) const
{
    QAbstractScrollArea* area = AdapterSupport::scrollAreaOfBar(bar);
    if (area && (AdapterSupport::table(area) || AdapterSupport::listView(area) || AdapterSupport::listBox(area)))
        return nullptr;
    return bar;
}

bool QScrollBarScrollAD::accepts(QObject* widget) const { return qobject_cast<QScrollBar*>(widget); }

AbstractScrollAD::Outcome QScrollBarScrollAD::describe(QObject* owner, Qt::Orientation, QDomElement& element)
{
    element.setAttribute(QStringLiteral("value"), static_cast<QScrollBar*>(owner)->value());
    return Outcome::Record;
}

void QScrollBarScrollAD::scroll(QObject* widget, const QDomElement& element)
{
    static_cast<QScrollBar*>(widget)->setValue(AdapterSupport::intAttribute(element, "value", 0));
}
