#pragma once
// Identifies an item of a tree view by the chain of its ancestors ("ChildPath" elements: one
// "Child" per level with its sibling "index" and its column texts "col0", "col1", ...), and maps
// items to and from their position in the view's depth-first order (parents before children,
// collapsed branches included).
#include <QDomDocument>
#include <QDomElement>
#include <QModelIndex>

class QTreeView;

namespace TapewrightUtil {

// The "ChildPath" element of the item; a null element for a null view or an invalid item.
QDomElement childPath(QDomDocument& document, const QTreeView* view, const QModelIndex& item);
// The item a "ChildPath" denotes: per level the first sibling with all the recorded texts, else
// the one at the recorded index; invalid when neither exists.
QModelIndex findItem(const QDomElement& childPath, const QTreeView* view);
// Position of the item in depth-first order from 0; -1 when it is not in the view, which is
// reported (as an error the run may go on after).
int itemIndex(const QTreeView* view, const QModelIndex& item);
// The item at that position; invalid when there is none, which is reported in the same way.
QModelIndex itemAt(const QTreeView* view, int index);

}
