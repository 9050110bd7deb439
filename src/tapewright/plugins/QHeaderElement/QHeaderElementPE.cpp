#include "tapewright/plugins/QHeaderElement/QHeaderElementPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include <QHeaderView>

QList<PropertyItem> QHeaderElementPE::properties(QWidget* widget)
{
    if (!qobject_cast<QHeaderView*>(widget))
        return {};
    return {PropertyItem(QStringLiteral("Extension to QHeader"), QStringLiteral("elementAtPoint"))};
}

QMap<QString, QString> QHeaderElementPE::attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos)
{
    auto* header = qobject_cast<QHeaderView*>(widget);
    TW_CHECK(header, "widget->inherits(\"QHeader\")");
    TW_CHECK(propertyName == QLatin1String("elementAtPoint"), "propertyName == QString::fromLatin1(\"elementAtPoint\")");
    if (!header)
        return {};
    // logicalIndexAt takes the viewport position: the scroll offset is added inside.
    const int section = header->logicalIndexAt(header->orientation() == Qt::Vertical ? pos.y() : pos.x());
    return {{QStringLiteral("section"), QString::number(section)}};
}

QString QHeaderElementPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes, bool*)
{
    auto* header = qobject_cast<QHeaderView*>(widget);
    if (!header || propertyName != QLatin1String("elementAtPoint") || !header->model())
        return QString();
    const int section = attributeNumber(attributes, "section");
    const int sections = header->orientation() == Qt::Horizontal ? header->model()->columnCount(header->rootIndex())
                                                                 : header->model()->rowCount(header->rootIndex());
    if (section < 0 || section >= sections)
        return QString();
    return header->model()->headerData(section, header->orientation(), Qt::DisplayRole).toString();
}
