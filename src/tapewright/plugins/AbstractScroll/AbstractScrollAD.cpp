#include "tapewright/plugins/AbstractScroll/AbstractScrollAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QHeaderView>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QScrollBar>

AbstractScrollAD::AbstractScrollAD(const char* className, const char* title, const char* widget, const char* places)
    : className_(QString::fromLatin1(className)), tag_(className_ + QStringLiteral("::scrollTo")), title_(title),
      widget_(widget), places_(places)
{
}

QObject* AbstractScrollAD::owner(QObject* bar) const
{
    QAbstractScrollArea* area = AdapterSupport::scrollAreaOfBar(bar);
    return area && accepts(area) ? area : nullptr;
}

EventReplacement AbstractScrollAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    if (!spontaneous || !qobject_cast<QScrollBar*>(receiver))
        return EventReplacement(Pass);
    QObject* widget = owner(receiver);
    if (!widget)
        return EventReplacement(Pass);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        return EventReplacement(Block);
    case QEvent::MouseButtonRelease:
        break;
    case QEvent::MouseMove:
        // The moves of a drag would drag the bar again at playback.
        if (static_cast<QMouseEvent*>(event)->buttons() != Qt::NoButton)
            return EventReplacement(Block);
        return EventReplacement(Pass);
    default:
        return EventReplacement(Pass);
    }
    QDomElement element = ScriptElements::adapterElement(document, tag_);
    if (widget != receiver)
        element.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(widget));
    switch (describe(widget, static_cast<QScrollBar*>(receiver)->orientation(), element)) {
    case Outcome::Record:
        return EventReplacement(element, Block);
    case Outcome::Swallow:
        return EventReplacement(Block);
    case Outcome::Pass:
        break;
    }
    return EventReplacement(Pass);
}

bool AbstractScrollAD::play(QObject* widget, const QDomElement& element)
{
    if (AdapterSupport::tagOf(element) != tag_.toLower())
        return false;
    if (widget && accepts(widget))
        scroll(widget, element);
    else
        AdapterSupport::reportWrongClass(tag_, widget);
    return true;
}

AdapterInfo AbstractScrollAD::info() const
{
    const QString name = className_ + QStringLiteral("ScrollAD");
    return {name, QCoreApplication::translate("ScrollAdapter", title_),
            QCoreApplication::translate("ScrollAdapter",
                                        "<qt><p>This adapter records where the scroll bars of a %1 were scrolled to, "
                                        "rather than the individual movements. Without it the %1 would scroll to a "
                                        "wrong %2 when the font or dialog size differs at playback, and the position "
                                        "would depend on the time between press and release.</p><p>See the QScrollBar "
                                        "Scroll adapter for a discussion of the signals.</p></qt>")
                .arg(QCoreApplication::translate("ScrollAdapter", widget_),
                     QCoreApplication::translate("ScrollAdapter", places_))};
}

void AbstractScrollAD::setEnabled(QObject* object, bool on)
{
    if (!object) {
        RecorderAdapter::setEnabled(nullptr, on);
        return;
    }
    auto* area = qobject_cast<QAbstractScrollArea*>(object);
    if (!area || !accepts(area)) {
        reportError(true, QCoreApplication::translate("ScrollAdapter", "%1ScrollAD adapter's setEnabled method was invoked "
                                                      "with an object, which do not inherit %1.").arg(className_));
        return;
    }
    RecorderAdapter::setEnabled(area->verticalScrollBar(), on);
    RecorderAdapter::setEnabled(area->horizontalScrollBar(), on);
}

void AbstractScrollAD::scrollItemToTop(QAbstractItemView* view, const QModelIndex& item, int offset)
{
    QScrollBar* horizontal = view->horizontalScrollBar();
    const int x = horizontal->value();
    view->scrollTo(item, QAbstractItemView::PositionAtTop);
    horizontal->setValue(x);
    if (offset > 0 && offset < view->visualRect(item).height()
        && view->verticalScrollMode() == QAbstractItemView::ScrollPerPixel)
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->value() + offset);
}

int AbstractScrollAD::firstSection(const QHeaderView* header, int* hidden)
{
    const int section = header->logicalIndexAt(0);
    *hidden = section == -1 ? 0 : -header->sectionViewportPosition(section);
    return section;
}

void AbstractScrollAD::scrollToSection(const QHeaderView* header, QScrollBar* bar, bool perItem, int section, int offset)
{
    if (section < 0 || section >= header->count())
        return;
    if (perItem)
        bar->setValue(header->visualIndex(section));
    else
        bar->setValue(header->sectionPosition(section) + (offset > 0 && offset < header->sectionSize(section) ? offset : 0));
}
