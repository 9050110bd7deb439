#include "tapewright/plugins/QTableScroll/QTableScrollAD.h"

#include "tapewright/plugins/AdapterSupport.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

QTableScrollAD::QTableScrollAD()
    : AbstractScrollAD("QTable", QT_TRANSLATE_NOOP("ScrollAdapter", "QTable scrollbar scroll"),
                       QT_TRANSLATE_NOOP("ScrollAdapter", "table"), QT_TRANSLATE_NOOP("ScrollAdapter", "row or column"))
{
}

bool QTableScrollAD::accepts(QObject* widget) const { return AdapterSupport::table(widget); }

AbstractScrollAD::Outcome QTableScrollAD::describe(QObject* owner, Qt::Orientation orientation, QDomElement& element)
{
    auto* view = static_cast<QTableView*>(owner);
    const bool horizontal = orientation == Qt::Horizontal;
    int hidden = 0;
    const int section = firstSection(horizontal ? view->horizontalHeader() : view->verticalHeader(), &hidden);
    element.setAttribute(horizontal ? QStringLiteral("column") : QStringLiteral("row"), section);
    if (hidden != 0)
        element.setAttribute(horizontal ? QStringLiteral("columnOffset") : QStringLiteral("rowOffset"), hidden);
    return Outcome::Record;
}

void QTableScrollAD::scroll(QObject* widget, const QDomElement& element)
{
    auto* view = static_cast<QTableView*>(widget);
    scrollToSection(view->horizontalHeader(), view->horizontalScrollBar(),
                    view->horizontalScrollMode() == QAbstractItemView::ScrollPerItem,
                    AdapterSupport::intAttribute(element, "column", -1),
                    AdapterSupport::intAttribute(element, "columnOffset", 0));
    scrollToSection(view->verticalHeader(), view->verticalScrollBar(),
                    view->verticalScrollMode() == QAbstractItemView::ScrollPerItem,
                    AdapterSupport::intAttribute(element, "row", -1), AdapterSupport::intAttribute(element, "rowOffset", 0));
}
