#include "tapewright/plugins/AdapterSupport.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/QtCompat.h"
#include "tapewright/RecorderAdapter.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QListView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTableView>
#include <QTreeView>
#include <algorithm>
#include <limits>

namespace AdapterSupport {

bool isMouseEvent(const QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        return true;
    default:
        return false;
    }
}

QString tagOf(const QDomElement& element) { return ScriptReader::tag(element); }

namespace {

// Sees the window system's report of the screen cursor's move to the target (not a late report
// of an earlier move).
class MoveReport : public QObject
{
public:
    explicit MoveReport(const QPoint& target) : target_(target) {}
    bool seen = false;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MouseMove && event->spontaneous())
            seen = seen || static_cast<QMouseEvent*>(event)->globalPosition().toPoint() == target_;
        return false;
    }

private:
    QPoint target_;
};

}

void sendMouse(QWidget* widget, const Mouse& mouse, const QPointF& pos)
{
    const QEvent::Type type = mouse.type;
    const int button = mouse.button, state = mouse.state;
    const Qt::MouseButton qtButton = QtCompat::toQtButton(button);
    Qt::MouseButtons buttons = QtCompat::toQtButtons(state);
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)
        buttons |= qtButton;
    else if (type == QEvent::MouseButtonRelease)
        buttons &= ~Qt::MouseButtons(qtButton);
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), qtButton, buttons,
                      QtCompat::toQtModifiers(state));
    const bool plainMove = type == QEvent::MouseMove && event.buttons() == Qt::NoButton
                           && event.modifiers() == Qt::NoModifier
                           && !TapewrightSettings::instance().ignoreMouseMovement();
    if (!plainMove) {
        TapewrightUtil::sendMouseEvent(widget, &event);
        return;
    }
    // A plain move moves the screen cursor, to a whole pixel, and the window system reports that
    // later. That report is waited for, so that it cannot arrive after the next press and drag
    // what the press took hold of; then the widget gets the move at the exact position. (On a
    // loaded machine the report can take long; the bound is for one that never comes.)
    const QPoint target = widget->mapToGlobal(pos.toPoint());
    if (QCursor::pos() != target) {
        QCursor::setPos(target);
        if (QCursor::pos() == target) { // a window system that moves the cursor
            const PlayBack::Hold hold;
            MoveReport report(target);
            qApp->installEventFilter(&report);
            QElapsedTimer clock;
            clock.start();
            while (!report.seen && clock.elapsed() < 3000)
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            qApp->removeEventFilter(&report);
        }
    }
    // Items that follow the mouse (a combo box's popup list makes the hovered entry current)
    // must follow it before the next element plays.
    QApplication::sendEvent(widget, &event);
}

std::optional<Mouse> readMouse(const QDomElement& element)
{
    int type = 0, button = 0, state = 0;
    if (!TapewrightUtil::readMouseAttributes(element, &type, &button, &state, nullptr))
        return std::nullopt;
    return Mouse {QEvent::Type(type), button, state};
}

int add(int a, int b)
{
    return int(std::clamp<qint64>(qint64(a) + b, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

int intAttribute(const QDomElement& element, const char* name, int defaultValue)
{
    return ScriptReader::intAttribute(element, QString::fromLatin1(name), defaultValue);
}

void reportWrongClass(const QString& tag, const QObject* widget)
{
    reportError(true, QObject::tr("Tag=%1 but widget was of class %2")
                          .arg(tag, QString::fromLatin1(widget ? widget->metaObject()->className() : "(none)")));
}

void warnAssert(const char* condition, const char* source, int line)
{
    qWarning("ASSERT: \"%s\" in %s (%d)", condition, source, line);
}

QSet<QModelIndex> selectedRows(const QAbstractItemView* view, int column)
{
    QSet<QModelIndex> rows;
    if (!view->selectionModel())
        return rows;
    for (const QItemSelectionRange& range : view->selectionModel()->selection())
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.insert(range.model()->index(row, column, range.parent()));
    return rows;
}

void SelectionChanges::add(const QModelIndex& item, bool selected) { append(selected ? select_ : deselect_, item); }

void SelectionChanges::append(QItemSelection& selection, const QModelIndex& item)
{
    if (!selection.isEmpty()) {
        const QItemSelectionRange& last = selection.last();
        if (last.parent() == item.parent() && last.bottom() + 1 == item.row() && last.left() == item.column()) {
            selection.last() = QItemSelectionRange(last.topLeft(), item);
            return;
        }
    }
    selection.append(QItemSelectionRange(item));
}

void SelectionChanges::apply(QItemSelectionModel* model) const
{
    if (!deselect_.isEmpty())
        model->select(deselect_, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    if (!select_.isEmpty())
        model->select(select_, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void setEnabledAtViewport(RecorderAdapter& adapter, QObject* object, bool on, QAbstractItemView* view,
                          const char* adapterName, const char* className)
{
    if (!object)
        adapter.RecorderAdapter::setEnabled(nullptr, on);
    else if (view)
        adapter.RecorderAdapter::setEnabled(view->viewport(), on);
    else
        reportError(true, QObject::tr("%1 adapter's setEnabled method was invoked with an object, which do not inherit %2.")
                              .arg(QLatin1String(adapterName), QLatin1String(className)));
}

QListView* listBox(QObject* object)
{
    auto* view = qobject_cast<QListView*>(object);
    return view && view->viewMode() == QListView::ListMode ? view : nullptr;
}

QTreeView* listView(QObject* object) { return qobject_cast<QTreeView*>(object); }

QTableView* table(QObject* object) { return qobject_cast<QTableView*>(object); }

QAbstractItemView* viewOfViewport(QObject* object)
{
    auto* view = object ? qobject_cast<QAbstractItemView*>(object->parent()) : nullptr;
    return view && view->viewport() == object ? view : nullptr;
}

QAbstractScrollArea* scrollAreaOfBar(QObject* bar, Qt::Orientation* orientation)
{
    if (!qobject_cast<QScrollBar*>(bar))
        return nullptr;
    // A scroll area keeps its bars inside containers of its own, so look a few levels up.
    QObject* ancestor = bar->parent();
    for (int level = 0; ancestor && level < 3; ++level, ancestor = ancestor->parent()) {
        auto* area = qobject_cast<QAbstractScrollArea*>(ancestor);
        if (!area)
            continue;
        if (area->horizontalScrollBar() == bar || area->verticalScrollBar() == bar) {
            if (orientation)
                *orientation = area->horizontalScrollBar() == bar ? Qt::Horizontal : Qt::Vertical;
            return area;
        }
    }
    return nullptr;
}

}
