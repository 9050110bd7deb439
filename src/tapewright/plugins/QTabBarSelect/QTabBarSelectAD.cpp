#include "tapewright/plugins/QTabBarSelect/QTabBarSelectAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QMouseEvent>
#include <QTabBar>
#include <QTabWidget>
#include <algorithm>

int QTabBarSelectAD::tabAtPoint(const QTabBar* bar, const QPoint& point)
{
    int found = -1;
    for (int i = 0; i < bar->count(); ++i) {
        if (!bar->tabRect(i).contains(point))
            continue;
        if (found != -1)
            return -1;
        found = i;
    }
    return found;
}

EventReplacement QTabBarSelectAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    auto* bar = qobject_cast<QTabBar*>(receiver);
    if (!spontaneous || !bar || !AdapterSupport::isMouseEvent(event))
        return EventReplacement(Pass);
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint pos = mouse->position().toPoint();
    const int tab = tabAtPoint(bar, pos);
    if (tab == -1)
        return EventReplacement(Block);
    const QRect rect = bar->tabRect(tab);
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QTabBar::mouseEvent"));
    element.setAttribute(QStringLiteral("id"), tab);
    element.setAttribute(QStringLiteral("text"), ScriptElements::xmlText(bar->tabText(tab)));
    element.setAttribute(QStringLiteral("index"), tab);
    element.setAttribute(QStringLiteral("offsetX"), pos.x() - rect.left());
    element.setAttribute(QStringLiteral("offsetY"), pos.y() - rect.top());
    TapewrightUtil::writeMouseAttributes(element, mouse, false);
    return EventReplacement(element, Block);
}

bool QTabBarSelectAD::play(QObject* widget, const QDomElement& element)
{
    if (AdapterSupport::tagOf(element) != QLatin1String("qtabbar::mouseevent"))
        return false;
    auto* bar = qobject_cast<QTabBar*>(widget);
    if (!bar) {
        reportError(true, QObject::tr("QTabBar::mouseEvent: object do not inherit QTabBar"));
        return true;
    }
    const std::optional<AdapterSupport::Mouse> mouse = AdapterSupport::readMouse(element);
    if (!mouse)
        return true;
    const int id = AdapterSupport::intAttribute(element, "id", -1);
    const int index = AdapterSupport::intAttribute(element, "index", -1);
    int tab = -1;
    if (element.hasAttribute(QStringLiteral("text"))) {
        const QString text = element.attribute(QStringLiteral("text"));
        for (int i = 0; i < bar->count() && tab == -1; ++i)
            if (bar->tabText(i) == text)
                tab = i;
    }
    // The id of a tab is its index, so both fall back the same way; each is range-checked.
    for (int candidate : {id, index})
        if (tab == -1 && candidate >= 0 && candidate < bar->count())
            tab = candidate;
    if (tab == -1) {
        reportError(true, QObject::tr("QTabBar::mouseEvent: unabled to find specified tab"));
        return true;
    }
    // Three pixels away from every edge of the tab, however the recorded offset compares.
    const QRect rect = bar->tabRect(tab);
    const int dx = std::max(3, std::min(AdapterSupport::intAttribute(element, "offsetX", 0), rect.right() - rect.left() - 3));
    const int dy = std::max(3, std::min(AdapterSupport::intAttribute(element, "offsetY", 0), rect.bottom() - rect.top() - 3));
    const QPoint point(rect.left() + dx, rect.top() + dy);
    if (tabAtPoint(bar, point) != tab)
        AdapterSupport::warnAssert("tab == tabAtPoint( tabbar, pos )", "..\\plugins\\QTabBarSelect\\QTabBarSelectAD", 82);
    AdapterSupport::sendMouse(bar, *mouse, point);
    return true;
}

AdapterInfo QTabBarSelectAD::info() const
{
    return {QStringLiteral("QTabBarSelectAD"), QStringLiteral("QTabBar Select"),
            QStringLiteral("<qt>Adapts QTabBar so it works with different font and dialog sizes</qt>")};
}

void QTabBarSelectAD::setEnabled(QObject* object, bool on)
{
    if (auto* tabs = qobject_cast<QTabWidget*>(object)) {
        if (QTabBar* bar = tabs->tabBar())
            RecorderAdapter::setEnabled(bar, on);
        return;
    }
    RecorderAdapter::setEnabled(object, on);
}
