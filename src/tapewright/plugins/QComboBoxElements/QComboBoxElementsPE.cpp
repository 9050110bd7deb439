#include "tapewright/plugins/QComboBoxElements/QComboBoxElementsPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include <QComboBox>

QList<PropertyItem> QComboBoxElementsPE::properties(QWidget* widget)
{
    if (!qobject_cast<QComboBox*>(widget))
        return {};
    return {PropertyItem(QStringLiteral("Extension to QComboBox"), QStringLiteral("elements"))};
}

QMap<QString, QString> QComboBoxElementsPE::attributesAt(QWidget*, const QString&, const QPoint&) { return {}; }

QString QComboBoxElementsPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>&, bool*)
{
    auto* combo = qobject_cast<QComboBox*>(widget);
    if (!combo || propertyName != QLatin1String("elements"))
        return QString();
    QString text, separator = QLatin1String("");
    for (int i = 0; i < combo->count(); ++i) {
        text += separator + combo->itemText(i);
        separator = QStringLiteral(", ");
    }
    return text;
}
