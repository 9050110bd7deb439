#include "tapewright/plugins/QListBoxScroll/QListBoxScrollAD.h"

#include "tapewright/plugins/AdapterSupport.h"

#include <QListView>
#include <QScrollBar>

QListBoxScrollAD::QListBoxScrollAD()
    : AbstractScrollAD("QListBox", QT_TRANSLATE_NOOP("ScrollAdapter", "QListBox scrollbar scroll"),
                       QT_TRANSLATE_NOOP("ScrollAdapter", "list box"), QT_TRANSLATE_NOOP("ScrollAdapter", "row"))
{
}

bool QListBoxScrollAD::accepts(QObject* widget) const { return AdapterSupport::listBox(widget); }

AbstractScrollAD::Outcome QListBoxScrollAD::describe(QObject* owner, Qt::Orientation orientation, QDomElement& element)
{
    auto* view = static_cast<QListView*>(owner);
    if (orientation == Qt::Horizontal) {
        element.setAttribute(QStringLiteral("xVal"), view->horizontalScrollBar()->value());
        return Outcome::Record;
    }
    const QModelIndex top = view->indexAt(QPoint(0, 0));
    element.setAttribute(QStringLiteral("index"), top.isValid() ? top.row() : -1);
    const int hidden = top.isValid() ? -view->visualRect(top).top() : 0;
    if (hidden != 0)
        element.setAttribute(QStringLiteral("yOffset"), hidden);
    return Outcome::Record;
}

void QListBoxScrollAD::scroll(QObject* widget, const QDomElement& element)
{
    auto* view = static_cast<QListView*>(widget);
    const int index = AdapterSupport::intAttribute(element, "index", -1);
    const QAbstractItemModel* model = view->model();
    if (model && index >= 0 && index < model->rowCount(view->rootIndex()))
        scrollItemToTop(view, model->index(index, view->modelColumn(), view->rootIndex()),
                        AdapterSupport::intAttribute(element, "yOffset", 0));
    // Present, even as 0: a scroll back to the left edge is a position too.
    if (element.hasAttribute(QStringLiteral("xVal")))
        view->horizontalScrollBar()->setValue(AdapterSupport::intAttribute(element, "xVal", 0));
}
