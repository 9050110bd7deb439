#include "tapewright/plugins/QListViewScroll/QListViewScrollAD.h"

#include "tapewright/ItemPath.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTreeView>

QListViewScrollAD::QListViewScrollAD()
    : AbstractScrollAD("QListView", QT_TRANSLATE_NOOP("ScrollAdapter", "QListView scrollbar scroll"),
                       QT_TRANSLATE_NOOP("ScrollAdapter", "list view"), QT_TRANSLATE_NOOP("ScrollAdapter", "item or column"))
{
}

bool QListViewScrollAD::accepts(QObject* widget) const { return AdapterSupport::listView(widget); }

AbstractScrollAD::Outcome QListViewScrollAD::describe(QObject* owner, Qt::Orientation orientation, QDomElement& element)
{
    auto* view = static_cast<QTreeView*>(owner);
    if (orientation == Qt::Horizontal) {
        int hidden = 0;
        element.setAttribute(QStringLiteral("column"), firstSection(view->header(), &hidden));
        if (hidden != 0)
            element.setAttribute(QStringLiteral("xOffset"), hidden);
        return Outcome::Record;
    }
    const QModelIndex hit = view->indexAt(QPoint(0, 0));
    const QModelIndex top = hit.isValid() ? hit.sibling(hit.row(), 0) : QModelIndex();
    const int index = TapewrightUtil::itemIndex(view, top);
    if (index == -1)
        return Outcome::Swallow;
    element.setAttribute(QStringLiteral("index"), index);
    const int hidden = -view->visualRect(top).top();
    if (hidden != 0)
        element.setAttribute(QStringLiteral("yOffset"), hidden);
    return Outcome::Record;
}

void QListViewScrollAD::scroll(QObject* widget, const QDomElement& element)
{
    auto* view = static_cast<QTreeView*>(widget);
    const int index = AdapterSupport::intAttribute(element, "index", -1);
    if (index != -1) {
        const QModelIndex item = TapewrightUtil::itemAt(view, index);
        if (item.isValid())
            scrollItemToTop(view, item, AdapterSupport::intAttribute(element, "yOffset", 0));
    }
    scrollToSection(view->header(), view->horizontalScrollBar(),
                    view->horizontalScrollMode() == QAbstractItemView::ScrollPerItem,
                    AdapterSupport::intAttribute(element, "column", -1), AdapterSupport::intAttribute(element, "xOffset", 0));
}
