#include "tapewright/plugins/QListBoxSelect/QListBoxSelectPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include "tapewright/TapewrightUtil.h"

#include <QListView>

QList<PropertyItem> QListBoxSelectPE::properties(QWidget* widget)
{
    if (!qobject_cast<QListView*>(widget))
        return {};
    return {PropertyItem(QStringLiteral("Extension to QListBox"), QStringLiteral("elementAtPoint"))};
}

QMap<QString, QString> QListBoxSelectPE::attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos)
{
    auto* list = qobject_cast<QListView*>(widget);
    TW_CHECK(list, "widget->inherits(\"QListBox\")");
    TW_CHECK(propertyName == QLatin1String("elementAtPoint"), "propertyName == QString::fromLatin1(\"elementAtPoint\")");
    if (!list)
        return {};
    const QModelIndex item = list->indexAt(pos);
    return {{QStringLiteral("id"), QString::number(item.isValid() ? item.row() : -1)},
            {QStringLiteral("name"), TapewrightUtil::objectName(list)}};
}

QString QListBoxSelectPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes, bool*)
{
    auto* list = qobject_cast<QListView*>(widget);
    if (!list || propertyName != QLatin1String("elementAtPoint") || !list->model())
        return QString();
    // An id that names no item gives an empty text.
    const QModelIndex item = list->model()->index(attributeNumber(attributes, "id"), list->modelColumn(), list->rootIndex());
    return item.isValid() ? item.data(Qt::DisplayRole).toString() : QLatin1String("");
}
