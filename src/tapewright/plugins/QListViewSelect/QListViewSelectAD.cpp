#include "tapewright/plugins/QListViewSelect/QListViewSelectAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ItemPath.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeView>
#include <algorithm>

namespace {

const char* const source = "..\\plugins\\QListViewSelect\\QListViewSelectAD";
// Snapshots nest no deeper than this: deeper levels of a tree are neither written nor played
// (so that a recorded script stays within what the script reader accepts).
constexpr int maxDepth = 64;
static_assert(maxDepth + 2 <= ScriptReader::maxNesting, "the root and the adapter element hold a snapshot");

int columnCount(const QTreeView* view) { return view->model() ? view->model()->columnCount() : 0; }

QString textAt(const QModelIndex& item, int column)
{
    return item.sibling(item.row(), column).data(Qt::DisplayRole).toString();
}

}

EventReplacement QListViewSelectAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    if (!spontaneous || !AdapterSupport::isMouseEvent(event))
        return EventReplacement(Pass);
    auto* view = AdapterSupport::listView(AdapterSupport::viewOfViewport(receiver));
    if (!view || !view->model())
        return EventReplacement(Pass);
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (auto taken = gestures_.filter(view->viewport(), mouse))
        return *taken;
    const QPoint pos = mouse->position().toPoint();
    int column = -1, offsetX = 0, offsetY = 0;
    const QModelIndex hit = view->indexAt(pos);
    const QModelIndex item = hit.isValid() ? hit.sibling(hit.row(), 0) : QModelIndex();
    if (!item.isValid() && event->type() != QEvent::MouseButtonRelease) {
        if (mouse->button() != Qt::NoButton || mouse->buttons() != Qt::NoButton)
            gestures_.state(view->viewport()).pressOnEmpty = true;
        return EventReplacement(Block);
    }
    if (item.isValid()) {
        offsetY = pos.y() - view->visualRect(item).top();
        if (offsetY < 0)
            AdapterSupport::warnAssert("offsetY >= 0", source, 67);
        // Without a header there is no column; playback then takes the offset as x.
        const QHeaderView* header = view->header();
        if (header && header->count() > 0) {
            column = header->logicalIndexAt(pos.x());
            if (column == -1) {
                const int last = header->logicalIndex(header->count() - 1);
                if (header->sectionViewportPosition(last) + header->sectionSize(last) == pos.x())
                    column = last;
            }
            if (column != -1)
                offsetX = pos.x() - header->sectionViewportPosition(column);
            else
                AdapterSupport::warnAssert("column != -1", source, 85);
        } else {
            offsetX = pos.x();
        }
    }
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QListView::mouseEvent"));
    element.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(view));
    if (item.isValid()) {
        element.appendChild(TapewrightUtil::childPath(document, view, item));
        element.setAttribute(QStringLiteral("column"), column);
    }
    element.setAttribute(QStringLiteral("offsetX"), offsetX);
    element.setAttribute(QStringLiteral("offsetY"), offsetY);
    TapewrightUtil::writeMouseAttributes(element, mouse, false);
    return gestures_.finish(view->viewport(), mouse, element, [&document, view] {
        QDomElement snapshot = ensureSelectedElement(document, view);
        snapshot.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(view));
        return snapshot;
    });
}

struct QListViewSelectAD::Snapshot
{
    QDomDocument& document;
    const QTreeView* view;
    QStringList columnNames; // "col0", "col1", ...
    QSet<QModelIndex> selected;
    QModelIndex current;
};

QDomElement QListViewSelectAD::childElement(const Snapshot& snapshot, const QModelIndex& item, int depth)
{
    static const QString tag = QStringLiteral("Child"), selected = QStringLiteral("selected");
    static const QString yes = QStringLiteral("1"), no = QStringLiteral("0");
    QDomElement child = snapshot.document.createElement(tag);
    for (int c = 0; c < snapshot.columnNames.size(); ++c)
        child.setAttribute(snapshot.columnNames[c], ScriptElements::xmlText(textAt(item, c)));
    child.setAttribute(selected, snapshot.selected.contains(item) ? yes : no);
    if (item == snapshot.current)
        child.setAttribute(QStringLiteral("current"), QStringLiteral("1"));
    const QAbstractItemModel* model = snapshot.view->model();
    for (int r = 0; depth + 1 < maxDepth && r < model->rowCount(item); ++r)
        child.appendChild(childElement(snapshot, model->index(r, 0, item), depth + 1));
    return child;
}

QDomElement QListViewSelectAD::ensureSelectedElement(QDomDocument& document, const QTreeView* view)
{
    QDomElement element = ScriptElements::adapterElement(document, QStringLiteral("QListView::ensureSelected"));
    const QAbstractItemModel* model = view->model();
    if (!model)
        return element;
    const QModelIndex current = view->currentIndex();
    QStringList columnNames;
    for (int c = 0; c < columnCount(view); ++c)
        columnNames << QStringLiteral("col%1").arg(c);
    const Snapshot snapshot {document, view, columnNames, AdapterSupport::selectedRows(view, 0),
                             current.isValid() ? current.sibling(current.row(), 0) : QModelIndex()};
    for (int r = 0; r < model->rowCount(view->rootIndex()); ++r)
        element.appendChild(childElement(snapshot, model->index(r, 0, view->rootIndex())));
    return element;
}

bool QListViewSelectAD::play(QObject* widget, const QDomElement& element)
{
    const QString tag = AdapterSupport::tagOf(element);
    const bool mouse = tag == QLatin1String("qlistview::mouseevent");
    if (!mouse && tag != QLatin1String("qlistview::ensureselected"))
        return false;
    auto* view = AdapterSupport::listView(widget);
    if (!view || !view->model()) {
        AdapterSupport::warnAssert("obj->inherits(\"QListView\")", source, mouse ? 136 : 203);
        if (mouse)
            reportError(true, QObject::tr("QListView::mouseEvent: object do not inherit QListView"));
        else
            // A snapshot for a widget of another class means the replay went astray: reported, as
            // the mouse events are.
            AdapterSupport::reportWrongClass(QStringLiteral("QListView::ensureSelected"), widget);
        return true;
    }
    if (mouse)
        playMouse(view, element);
    else
        playEnsureSelected(element, view);
    return true;
}

void QListViewSelectAD::playMouse(QTreeView* view, const QDomElement& element)
{
    const std::optional<AdapterSupport::Mouse> mouse = AdapterSupport::readMouse(element);
    if (!mouse)
        return;
    const int offsetX = AdapterSupport::intAttribute(element, "offsetX", 0);
    const int offsetY = AdapterSupport::intAttribute(element, "offsetY", 0);
    const int column = AdapterSupport::intAttribute(element, "column", -1);
    QDomElement path;
    for (QDomElement e = element.firstChildElement(); !e.isNull() && path.isNull(); e = e.nextSiblingElement())
        if (e.tagName().toLower() == QLatin1String("childpath"))
            path = e;
    QPoint point;
    if (!path.isNull()) {
        const QModelIndex item = TapewrightUtil::findItem(path, view);
        if (!item.isValid()) {
            AdapterSupport::warnAssert("item", source, 159);
            return;
        }
        QRect rect = view->visualRect(item);
        if (!rect.isValid() || !view->viewport()->rect().intersects(rect)) {
            view->scrollTo(item);
            rect = view->visualRect(item);
        }
        const QHeaderView* header = view->header();
        if (!header || column < 0 || column > header->count())
            point.setX(offsetX);
        else if (column == header->count())
            point.setX(AdapterSupport::add(header->length() - header->offset(), offsetX));
        else
            point.setX(header->sectionViewportPosition(column)
                       + std::clamp(offsetX, 0, std::max(0, header->sectionSize(column) - 1)));
        point.setY(std::min(AdapterSupport::add(rect.top(), std::max(0, offsetY)), rect.bottom()));
    } else {
        point = QPoint(offsetX, offsetY <= 0 ? offsetY : AdapterSupport::add(view->viewport()->height(), offsetY));
    }
    AdapterSupport::sendMouse(view->viewport(), *mouse, point);
}

void QListViewSelectAD::playEnsureSelected(const QDomElement& element, QTreeView* view)
{
    AdapterSupport::SelectionChanges changes;
    applyChildElements(element, view, view->rootIndex(), 0, AdapterSupport::selectedRows(view, 0), changes);
    changes.apply(view->selectionModel());
}

void QListViewSelectAD::applyChildElements(const QDomElement& element, QTreeView* view, const QModelIndex& parent,
                                           int depth, const QSet<QModelIndex>& selected,
                                           AdapterSupport::SelectionChanges& changes)
{
    if (depth >= maxDepth)
        return;
    const QAbstractItemModel* model = view->model();
    const int rows = model->rowCount(parent);
    const int columns = columnCount(view);
    // The texts of every sibling once: first row and number of siblings with them.
    QHash<QStringList, std::pair<int, int>> siblings;
    for (int r = 0; r < rows; ++r) {
        QStringList texts;
        for (int c = 0; c < columns; ++c)
            texts << textAt(model->index(r, 0, parent), c);
        auto it = siblings.find(texts);
        if (it == siblings.end())
            siblings.insert(texts, {r, 1});
        else
            ++it->second;
    }
    int position = 0;
    for (QDomNode node = element.firstChild(); !node.isNull(); node = node.nextSibling(), ++position) {
        if (!node.isElement())
            continue;
        const QDomElement child = node.toElement();
        if (child.tagName().toLower() != QLatin1String("child"))
            AdapterSupport::warnAssert("child.tagName().lower() == QString::fromLatin1( \"child\" )", source, 300);
        // The only sibling with all the texts, else the one at the same position.
        QStringList key;
        for (int c = 0; c < columns; ++c)
            key << child.attribute(QStringLiteral("col%1").arg(c));
        const auto match = siblings.constFind(key);
        const QModelIndex item = match != siblings.constEnd() && match->second == 1
                                     ? model->index(match->first, 0, parent)
                                     : (position < rows ? model->index(position, 0, parent) : QModelIndex());
        if (!item.isValid()) {
            AdapterSupport::warnAssert("childLVI", source, 339);
            continue;
        }
        const bool select = AdapterSupport::intAttribute(child, "selected", 0) != 0;
        if (selected.contains(item) != select)
            changes.add(item, select);
        if (AdapterSupport::intAttribute(child, "current", 0) != 0) {
            // Only the current item moves: the selection is the snapshot's.
            view->selectionModel()->setCurrentIndex(item, QItemSelectionModel::NoUpdate);
            view->scrollTo(item);
        }
        applyChildElements(child, view, item, depth + 1, selected, changes);
    }
}

AdapterInfo QListViewSelectAD::info() const
{
    return {QStringLiteral("QListViewSelectAD"), QObject::tr("QListView select"),
            QObject::tr("<qt><p>This adapter makes QListView work with other font and dialog sizes, and makes it "
                        "robust against timing.</p><p>Without it, wrong items are selected when the font or dialog "
                        "size differs at playback, and selecting several items by pressing on an item and dragging "
                        "outside the view to scroll it depends on timing.</p><p><b>Warning:</b> while the user drags "
                        "outside the list view with the button pressed, signals are not emitted during playback until "
                        "the release; the items selected during the drag are then selected correctly, but their "
                        "selection signals are not emitted. This should matter only in rare situations.</p></qt>")};
}

void QListViewSelectAD::setEnabled(QObject* object, bool on)
{
    AdapterSupport::setEnabledAtViewport(*this, object, on, AdapterSupport::listView(object), "QListViewSelectAD", "QListView");
}
