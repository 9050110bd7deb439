#pragma once
// Records the mouse events on a tree view's viewport as "QListView::mouseEvent" naming the item
// by its ChildPath, the column by its header section and the point by offsets inside both, so
// that playback hits the same item and column with other row heights, column widths or
// scrolling. A drag outside the viewport or a press on its empty area is recorded as its
// release followed by "QListView::ensureSelected", a snapshot of the selection and current
// item of the whole tree that playback imposes.
#include "tapewright/RecorderAdapter.h"
#include "tapewright/plugins/AdapterSupport.h"
#include "tapewright/plugins/ViewportGestures/ViewportGestures.h"

#include <QModelIndex>

class QTreeView;

class QListViewSelectAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
    int priority() const override { return 150; }
    // A tree view passes the setting to its viewport, which receives the mouse events.
    void setEnabled(QObject* object, bool on) override;

    static QDomElement ensureSelectedElement(QDomDocument& document, const QTreeView* view);
    static void playEnsureSelected(const QDomElement& element, QTreeView* view);

private:
    struct Snapshot;
    // The item with its children, down to the depth snapshots are played to.
    static QDomElement childElement(const Snapshot& snapshot, const QModelIndex& item, int depth = 0);
    static void applyChildElements(const QDomElement& element, QTreeView* view, const QModelIndex& parent, int depth,
                                   const QSet<QModelIndex>& selected, AdapterSupport::SelectionChanges& changes);
    void playMouse(QTreeView* view, const QDomElement& element);

    ViewportGestures gestures_;
};
