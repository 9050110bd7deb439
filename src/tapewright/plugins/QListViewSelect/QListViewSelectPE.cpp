#include "tapewright/plugins/QListViewSelect/QListViewSelectPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include "tapewright/ItemPath.h"
#include "tapewright/TapewrightUtil.h"

#include <QTreeView>

QList<PropertyItem> QListViewSelectPE::properties(QWidget* widget)
{
    if (!qobject_cast<QTreeView*>(widget))
        return {};
    const QString description = QStringLiteral("Extension to QListView");
    return {PropertyItem(description, QStringLiteral("elementAtPoint")), PropertyItem(description, QStringLiteral("elementAtPointOpen"))};
}

QMap<QString, QString> QListViewSelectPE::attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos)
{
    TW_CHECK(propertyName == QLatin1String("elementAtPoint") || propertyName == QLatin1String("elementAtPointOpen"),
             "propertyName == QString::fromLatin1(\"elementAtPoint\") || propertyName == QString::fromLatin1(\"elementAtPointOpen\")");
    auto* tree = qobject_cast<QTreeView*>(widget);
    if (!tree)
        return {};
    return {{QStringLiteral("id"), QString::number(TapewrightUtil::itemIndex(tree, tree->indexAt(pos)))},
            {QStringLiteral("name"), TapewrightUtil::objectName(tree)}};
}

QString QListViewSelectPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes, bool*)
{
    auto* tree = qobject_cast<QTreeView*>(widget);
    const bool open = propertyName == QLatin1String("elementAtPointOpen");
    if (!tree || (!open && propertyName != QLatin1String("elementAtPoint")) || !tree->model())
        return QString();
    const QModelIndex item = TapewrightUtil::itemAt(tree, attributeNumber(attributes, "id"));
    if (!item.isValid())
        return QLatin1String("");
    if (open)
        return tree->isExpanded(item) ? QStringLiteral("1") : QStringLiteral("0");
    QString text = QLatin1String(""), separator = QLatin1String("");
    const int columns = tree->model()->columnCount(item.parent());
    for (int column = 0; column < columns; ++column) {
        text += separator + item.siblingAtColumn(column).data(Qt::DisplayRole).toString();
        separator = QStringLiteral(", ");
    }
    return text;
}
