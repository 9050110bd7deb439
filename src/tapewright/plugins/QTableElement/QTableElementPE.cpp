#include "tapewright/plugins/QTableElement/QTableElementPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include "tapewright/TapewrightUtil.h"

#include <QTableView>

QList<PropertyItem> QTableElementPE::properties(QWidget* widget)
{
    if (!qobject_cast<QTableView*>(widget))
        return {};
    return {PropertyItem(QStringLiteral("Extension to QTable"), QStringLiteral("elementAtPoint"))};
}

QMap<QString, QString> QTableElementPE::attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos)
{
    auto* table = qobject_cast<QTableView*>(widget);
    TW_CHECK(table && propertyName == QLatin1String("elementAtPoint"),
             "widget->inherits( \"QTable\" ) && propertyName == QString::fromLatin1(\"elementAtPoint\")");
    if (!table)
        return {};
    // rowAt and columnAt take viewport positions and add the scroll offsets themselves.
    return {{QStringLiteral("name"), TapewrightUtil::objectName(table)},
            {QStringLiteral("row"), QString::number(table->rowAt(pos.y()))},
            {QStringLiteral("col"), QString::number(table->columnAt(pos.x()))}};
}

QString QTableElementPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes, bool*)
{
    auto* table = qobject_cast<QTableView*>(widget);
    if (!table || propertyName != QLatin1String("elementAtPoint") || !table->model())
        return QString();
    const QModelIndex cell = table->model()->index(attributeNumber(attributes, "row"), attributeNumber(attributes, "col"), table->rootIndex());
    const QString text = cell.isValid() ? cell.data(Qt::DisplayRole).toString() : QString();
    return text.isNull() ? QLatin1String("") : text;
}
