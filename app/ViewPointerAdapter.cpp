#include "ViewPointerAdapter.h"

#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"
#include "views/OpenGL2DView.h"

#include <QMouseEvent>

namespace {

const QString tag = QStringLiteral("OpenGL2DView::mouseEvent");

}

EventReplacement ViewPointerAdapter::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    auto* view = qobject_cast<OpenGL2DView*>(receiver);
    if (!spontaneous || !view || !AdapterSupport::isMouseEvent(event) || view->width() <= 0 || view->height() <= 0)
        return EventReplacement(Pass);
    const auto* mouse = static_cast<const QMouseEvent*>(event);
    QDomElement element = ScriptElements::adapterElement(document, tag);
    TapewrightUtil::writeMouseAttributes(element, mouse, false);
    element.setAttribute(QStringLiteral("fx"), QString::number(mouse->position().x() / view->width(), 'g', 17));
    element.setAttribute(QStringLiteral("fy"), QString::number(mouse->position().y() / view->height(), 'g', 17));
    return EventReplacement(element, Block);
}

bool ViewPointerAdapter::play(QObject* widget, const QDomElement& element)
{
    if (AdapterSupport::tagOf(element) != tag.toLower())
        return false;
    auto* view = qobject_cast<OpenGL2DView*>(widget);
    if (!view) {
        AdapterSupport::reportWrongClass(tag, widget);
        return true;
    }
    const std::optional<AdapterSupport::Mouse> mouse = AdapterSupport::readMouse(element);
    if (!mouse)
        return true;
    AdapterSupport::sendMouse(view, *mouse,
                              QPointF(element.attribute(QStringLiteral("fx")).toDouble() * view->width(),
                                      element.attribute(QStringLiteral("fy")).toDouble() * view->height()));
    return true;
}

AdapterInfo ViewPointerAdapter::info() const
{
    return {QStringLiteral("ViewPointerAdapter"), QObject::tr("Planning views"),
            QObject::tr("<qt><p>Records the mouse in the planning's slice views relative to the view's size, so that a "
                        "script plays at another window or font size to the same places in the volume.</p></qt>")};
}
