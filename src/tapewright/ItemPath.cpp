#include "tapewright/ItemPath.h"

#include "tapewright/ErrorReport.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QStringList>
#include <QTreeView>
#include <functional>

namespace TapewrightUtil {

namespace {

int columnCount(const QAbstractItemModel* model) { return model->columnCount(QModelIndex()); }

QString textAt(const QAbstractItemModel* model, const QModelIndex& item, int column)
{
    return model->data(item.siblingAtColumn(column), Qt::DisplayRole).toString();
}

// Walks the items depth first; stops when the visitor returns true. Returns the visit count.
int walk(const QAbstractItemModel* model, const std::function<bool(const QModelIndex&, int)>& visit)
{
    int position = 0;
    std::vector<QModelIndex> stack;
    const int top = model->rowCount(QModelIndex());
    for (int row = top - 1; row >= 0; --row)
        stack.push_back(model->index(row, 0, QModelIndex()));
    while (!stack.empty()) {
        const QModelIndex item = stack.back();
        stack.pop_back();
        if (visit(item, position++))
            return position;
        for (int row = model->rowCount(item) - 1; row >= 0; --row)
            stack.push_back(model->index(row, 0, item));
    }
    return -1;
}

}

QDomElement childPath(QDomDocument& document, const QTreeView* view, const QModelIndex& item)
{
    if (!view || !view->model() || !item.isValid() || item.model() != view->model())
        return QDomElement();
    const QAbstractItemModel* model = view->model();
    std::vector<QModelIndex> chain;
    for (QModelIndex level = item.siblingAtColumn(0); level.isValid(); level = level.parent())
        chain.push_back(level);
    QDomElement path = document.createElement(QStringLiteral("ChildPath"));
    const int columns = columnCount(model);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        QDomElement child = document.createElement(QStringLiteral("Child"));
        child.setAttribute(QStringLiteral("index"), it->row());
        for (int c = 0; c < columns; ++c)
            child.setAttribute(QStringLiteral("col%1").arg(c), textAt(model, *it, c));
        path.appendChild(child);
    }
    return path;
}

QModelIndex findItem(const QDomElement& childPath, const QTreeView* view)
{
    if (childPath.tagName().toLower() != QLatin1String("childpath"))
        qWarning("ASSERT: \"%s\" in %s (%d)",
                 "top.tagName().lower() == QString::fromLatin1( \"childpath\" )", __FILE__, __LINE__);
    if (!view || !view->model())
        return QModelIndex();
    const QAbstractItemModel* model = view->model();
    const int columns = columnCount(model);
    QModelIndex current;
    for (QDomNode node = childPath.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement() || node.toElement().tagName().toLower() != QLatin1String("child")) {
            qWarning("ASSERT: \"%s\" in %s (%d)",
                     "node.isElement() && node.toElement().tagName().lower() == "
                     "QString::fromLatin1( \"child\" )",
                     __FILE__, __LINE__);
            return QModelIndex();
        }
        const QDomElement child = node.toElement();
        bool ok = false;
        int index = child.attribute(QStringLiteral("index")).toInt(&ok);
        if (!ok)
            index = 0;
        QStringList texts;
        for (int c = 0; c < columns; ++c)
            texts << child.attribute(QStringLiteral("col%1").arg(c));
        const auto sameTexts = [&](const QModelIndex& candidate) {
            for (int c = 0; c < columns; ++c)
                if (textAt(model, candidate, c) != texts[c])
                    return false;
            return true;
        };
        QModelIndex chosen;
        const int rows = model->rowCount(current);
        // Among siblings with the same texts, the recorded one.
        if (index >= 0 && index < rows && sameTexts(model->index(index, 0, current)))
            chosen = model->index(index, 0, current);
        for (int row = 0; row < rows && !chosen.isValid(); ++row)
            if (sameTexts(model->index(row, 0, current)))
                chosen = model->index(row, 0, current);
        if (!chosen.isValid() && index >= 0 && index < rows)
            chosen = model->index(index, 0, current);
        if (!chosen.isValid())
            return QModelIndex();
        current = chosen;
    }
    return current;
}

int itemIndex(const QTreeView* view, const QModelIndex& item)
{
    if (!view || !view->model())
        return -1;
    int visits = -1;
    if (item.isValid() && item.model() == view->model()) {
        const QModelIndex target = item.siblingAtColumn(0);
        visits = walk(view->model(), [&](const QModelIndex& at, int) { return at == target; });
    }
    if (visits < 0) {
        reportError(true, QCoreApplication::translate("TapewrightUtil", "Did not find item for listview"));
        return -1;
    }
    return visits - 1;
}

QModelIndex itemAt(const QTreeView* view, int index)
{
    if (!view || !view->model())
        return QModelIndex();
    QModelIndex found;
    if (index >= 0)
        walk(view->model(), [&](const QModelIndex& at, int position) {
            if (position != index)
                return false;
            found = at;
            return true;
        });
    // A script that names an item the view does not have did not play what it asked.
    if (!found.isValid())
        reportError(true, QCoreApplication::translate("TapewrightUtil", "List view item with index %1, was not found").arg(index));
    return found;
}

}
