#include "tapewright/plugins/QListBoxSelect/QListBoxSelectAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QComboBox>
#include <QHash>
#include <QListView>
#include <QMouseEvent>
#include <algorithm>
#include <optional>

namespace {

const char* const source = "..\\plugins\\QListBoxSelect\\QListBoxSelectAD";

int rowCount(const QListView* view) { return view->model() ? view->model()->rowCount(view->rootIndex()) : 0; }

QModelIndex itemAt(const QListView* view, int row)
{
    return row >= 0 && row < rowCount(view) ? view->model()->index(row, view->modelColumn(), view->rootIndex())
                                            : QModelIndex();
}

QString textOf(const QListView* view, int row) { return itemAt(view, row).data(Qt::DisplayRole).toString(); }

}

EventReplacement QListBoxSelectAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    if (!spontaneous || !AdapterSupport::isMouseEvent(event))
        return EventReplacement(Pass);
    auto* view = AdapterSupport::listBox(AdapterSupport::viewOfViewport(receiver));
    if (!view || !view->model())
        return EventReplacement(Pass);
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (auto taken = gestures_.filter(view->viewport(), mouse))
        return *taken;
    // A release whose press went elsewhere ends the click that opened a combo box's popup: Qt
    // lets it choose an entry only when it comes late, so at playback it would depend on speed.
    ViewportGestures::State& gesture = gestures_.state(view->viewport());
    if (event->type() == QEvent::MouseButtonRelease) {
        const bool own = std::exchange(gesture.buttonSeen, false) || gesture.dragOutside || gesture.pressOnEmpty;
        if (!own && qobject_cast<QComboBox*>(view->window()->parentWidget()))
            return EventReplacement(Block);
    } else if (event->type() != QEvent::MouseMove || mouse->buttons() != Qt::NoButton) {
        gesture.buttonSeen = true;
    }
    // The item is looked up where the event happened, in the viewport's own coordinates.
    const QPoint pos = mouse->position().toPoint();
    const QModelIndex item = view->indexAt(pos);
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QListBox::mouseEvent"));
    int offsetX = 0, offsetY = 0;
    if (item.isValid()) {
        const QRect rect = view->visualRect(item);
        offsetX = pos.x() - rect.left();
        offsetY = pos.y() - rect.top();
        element.setAttribute(QStringLiteral("itemIndex"), item.row());
        element.setAttribute(QStringLiteral("itemText"), ScriptElements::xmlText(item.data(Qt::DisplayRole).toString()));
    } else if (event->type() == QEvent::MouseButtonRelease) {
        element.setAttribute(QStringLiteral("itemIndex"), -1);
    } else {
        if (event->type() != QEvent::MouseMove) {
            ViewportGestures::State& state = gestures_.state(view->viewport());
            state.pressOnEmpty = true;
            state.savedCurrent = std::max(0, view->currentIndex().row());
        }
        return EventReplacement(Block);
    }
    element.setAttribute(QStringLiteral("offsetX"), offsetX);
    element.setAttribute(QStringLiteral("offsetY"), offsetY);
    TapewrightUtil::writeMouseAttributes(element, mouse, false);
    element.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(view));
    const int saved = gestures_.state(view->viewport()).savedCurrent;
    return gestures_.finish(view->viewport(), mouse, element, [&document, view, saved] {
        QDomElement snapshot = ensureSelectedElement(document, view, saved);
        snapshot.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(view));
        return snapshot;
    });
}

QDomElement QListBoxSelectAD::ensureSelectedElement(QDomDocument& document, const QListView* view, int savedCurrent)
{
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QListBox::ensureSelected"));
    const QSet<QModelIndex> selected = AdapterSupport::selectedRows(view, view->modelColumn());
    for (int row = 0; row < rowCount(view); ++row) {
        QDomElement info = document.createElement(QStringLiteral("selectInfo"));
        info.setAttribute(QStringLiteral("index"), row);
        info.setAttribute(QStringLiteral("text"), ScriptElements::xmlText(textOf(view, row)));
        info.setAttribute(QStringLiteral("selected"), selected.contains(itemAt(view, row)) ? 1 : 0);
        element.appendChild(info);
    }
    const int current = view->currentIndex().isValid() ? view->currentIndex().row() : savedCurrent;
    element.setAttribute(QStringLiteral("currentIndex"), current);
    element.setAttribute(QStringLiteral("currentName"), ScriptElements::xmlText(textOf(view, current)));
    return element;
}

bool QListBoxSelectAD::play(QObject* widget, const QDomElement& element)
{
    const QString tag = AdapterSupport::tagOf(element);
    const bool mouse = tag == QLatin1String("qlistbox::mouseevent");
    if (!mouse && tag != QLatin1String("qlistbox::ensureselected"))
        return false;
    auto* view = AdapterSupport::listBox(widget);
    if (!view || !view->model()) {
        AdapterSupport::reportWrongClass(mouse ? QStringLiteral("QListBox::mouseEvent") : QStringLiteral("QListBox::ensureSelected"), widget);
        return true;
    }
    if (mouse)
        playMouse(view, element);
    else
        playEnsureSelected(element, view);
    return true;
}

void QListBoxSelectAD::playMouse(QListView* view, const QDomElement& element)
{
    const std::optional<AdapterSupport::Mouse> mouse = AdapterSupport::readMouse(element);
    if (!mouse)
        return;
    const int offsetX = AdapterSupport::intAttribute(element, "offsetX", 0);
    const int offsetY = AdapterSupport::intAttribute(element, "offsetY", 0);
    const int itemIndex = AdapterSupport::intAttribute(element, "itemIndex", 0);
    QPoint point(offsetX, offsetY);
    if (itemIndex != -1) {
        QModelIndex item = itemAt(view, itemIndex);
        if (element.hasAttribute(QStringLiteral("itemText"))) {
            const QString text = element.attribute(QStringLiteral("itemText"));
            int found = -1, matches = 0;
            for (int row = 0; row < rowCount(view) && matches < 2; ++row)
                if (textOf(view, row) == text) {
                    found = row;
                    ++matches;
                }
            if (matches == 1)
                item = itemAt(view, found);
        }
        if (!item.isValid())
            return;
        QRect rect = view->visualRect(item);
        if (!rect.isValid() || !view->viewport()->rect().intersects(rect)) {
            if (mouse->button == 0 && mouse->state == 0)
                return;
            view->selectionModel()->setCurrentIndex(item, QItemSelectionModel::NoUpdate);
            view->scrollTo(item);
            rect = view->visualRect(item);
        }
        point = QPoint(AdapterSupport::add(rect.left(), std::min(offsetX, rect.width() - 3)),
                       AdapterSupport::add(rect.top(), std::min(offsetY, rect.height() - 3)));
    }
    AdapterSupport::sendMouse(view->viewport(), *mouse, point);
}

void QListBoxSelectAD::playEnsureSelected(const QDomElement& element, QListView* view)
{
    // Equal texts: the last of them receives the state.
    QHash<QString, int> rows;
    for (int row = 0; row < rowCount(view); ++row)
        rows.insert(textOf(view, row), row);
    // By a text the list holds, else by the index; none without either.
    auto indexOf = [&rows](const QDomElement& e, const char* textName, const char* indexName) -> std::optional<int> {
        const QString text = e.attribute(QString::fromLatin1(textName));
        if (e.hasAttribute(QString::fromLatin1(textName)) && rows.contains(text))
            return rows.value(text);
        if (!e.hasAttribute(QString::fromLatin1(indexName)))
            return std::nullopt;
        return AdapterSupport::intAttribute(e, indexName, -1);
    };
    QItemSelectionModel* selection = view->selectionModel();
    const QSet<QModelIndex> selected = AdapterSupport::selectedRows(view, view->modelColumn());
    AdapterSupport::SelectionChanges changes;
    for (QDomNode node = element.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QDomElement info = node.toElement();
        if (info.isNull() || info.tagName().toLower() != QLatin1String("selectinfo")) {
            AdapterSupport::warnAssert("node.isElement() && node.toElement().tagName().lower() == QString::fromLatin1( \"selectinfo\" )", source, 231);
            continue;
        }
        const std::optional<int> row = indexOf(info, "text", "index");
        if (!row) {
            AdapterSupport::warnAssert("childElm.hasAttribute( QString::fromLatin1( \"index\" ) )", source, 243);
            continue;
        }
        if (!info.hasAttribute(QStringLiteral("selected"))) {
            AdapterSupport::warnAssert("childElm.hasAttribute( QString::fromLatin1( \"selected\" ) )", source, 250);
            continue;
        }
        const QModelIndex item = itemAt(view, *row);
        if (!item.isValid())
            continue;
        const bool select = AdapterSupport::intAttribute(info, "selected", 0) != 0;
        if (selected.contains(item) != select)
            changes.add(item, select);
    }
    changes.apply(selection);
    const std::optional<int> row = indexOf(element, "currentName", "currentIndex");
    if (!row) {
        AdapterSupport::warnAssert("elm.hasAttribute( QString::fromLatin1( \"currentIndex\" ) )", source, 266);
        return;
    }
    const QModelIndex current = itemAt(view, *row);
    if (current.isValid() && current != view->currentIndex())
        selection->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
}

AdapterInfo QListBoxSelectAD::info() const
{
    return {QStringLiteral("QListBoxSelectAD"), QObject::tr("QListBox Select"),
            QObject::tr("<qt><p>This adapter makes list boxes work with other fonts and languages.</p><p>Signals and "
                        "events are played back correctly at all times, except when the user drags the mouse outside "
                        "the window, which normally scrolls it.</p><p>In that case the right items are still "
                        "selected, but no signals are emitted during their selection. This should matter only in "
                        "rare situations.</p></qt>")};
}

void QListBoxSelectAD::setEnabled(QObject* object, bool on)
{
    AdapterSupport::setEnabledAtViewport(*this, object, on, AdapterSupport::listBox(object), "QListBoxSelectAD", "QListBox");
}
