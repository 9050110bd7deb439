#pragma once
// Pieces the built-in adapters share: which events are mouse events, how a rebuilt mouse event
// is delivered, the reports of a wrong widget class, and how the Qt widgets that stand for the
// script's classes are recognised (a list box is a list-mode QListView, a list view a QTreeView,
// a table a QTableView, and a view's scroll bars belong to the scroll area that owns them).
#include <QDomElement>
#include <QEvent>
#include <QItemSelection>
#include <QSet>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <Qt>
#include <optional>

class QAbstractItemView;
class RecorderAdapter;
class QAbstractScrollArea;
class QListView;
class QObject;
class QTableView;
class QTreeView;
class QWidget;

namespace AdapterSupport {

// Mouse press, release, double click and move; wheel events are not among them.
bool isMouseEvent(const QEvent* event);
// The lower-cased tag of a script element, adapter spelling resolved ("qdial::setvalue").
QString tagOf(const QDomElement& element);
// The mouse part of an adapter element: its event type, and button and state in script bits.
struct Mouse
{
    QEvent::Type type;
    int button;
    int state;
};
// Reads "type", "button" and "state"; none (reported) for anything but a mouse event type.
std::optional<Mouse> readMouse(const QDomElement& element);
// Builds the mouse event at the point and delivers it synchronously to the widget.
void sendMouse(QWidget* widget, const Mouse& mouse, const QPointF& pos);
// a + b, held inside the int range (offsets come from files).
int add(int a, int b);
// A decimal attribute; missing or malformed values give the default.
int intAttribute(const QDomElement& element, const char* name, int defaultValue);
// "Tag=<tag> but widget was of class <class>", continuable.
void reportWrongClass(const QString& tag, const QObject* widget);
// An internal consistency warning in the "ASSERT" form; work goes on after it.
void warnAssert(const char* condition, const char* source, int line);

// The selected rows of a view, each as its index in `column`: one pass over the selection, so
// that snapshots of large views do not ask the selection model item by item.
QSet<QModelIndex> selectedRows(const QAbstractItemView* view, int column);
// Collects selection changes row by row, joining neighbouring rows into one range, and applies
// them at once (a selection model is slow with many single changes).
class SelectionChanges
{
public:
    void add(const QModelIndex& item, bool selected);
    void apply(QItemSelectionModel* model) const;

private:
    static void append(QItemSelection& selection, const QModelIndex& item);
    QItemSelection select_;
    QItemSelection deselect_;
};

// The switch of an adapter that takes a view's mouse events at its viewport: null sets all, a
// view of the adapter's class (`view`, null otherwise) passes it to its viewport, and any other
// object is refused with a report naming the adapter and the class.
void setEnabledAtViewport(RecorderAdapter& adapter, QObject* object, bool on, QAbstractItemView* view,
                          const char* adapterName, const char* className);

QListView* listBox(QObject* object);
QTreeView* listView(QObject* object);
QTableView* table(QObject* object);
// The item view whose viewport the object is, or null.
QAbstractItemView* viewOfViewport(QObject* object);
// The scroll area whose horizontal or vertical bar the object is (its orientation in `orientation`).
QAbstractScrollArea* scrollAreaOfBar(QObject* bar, Qt::Orientation* orientation = nullptr);

}
