#include "tapewright/plugins/QTabBarSelect/QTabBarSelectPE.h"

#include "tapewright/PropertyExtensionSupport.h"
#include <QTabBar>

QList<PropertyItem> QTabBarSelectPE::properties(QWidget* widget)
{
    if (!qobject_cast<QTabBar*>(widget))
        return {};
    return {PropertyItem(QStringLiteral("Extension to QTabBar"), QStringLiteral("elementAtPoint"))};
}

QMap<QString, QString> QTabBarSelectPE::attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos)
{
    TW_CHECK(propertyName == QLatin1String("elementAtPoint"), "propertyName == QString::fromLatin1(\"elementAtPoint\")");
    auto* tabs = qobject_cast<QTabBar*>(widget);
    TW_CHECK(tabs, "widget->inherits(\"QTabBar\")");
    if (!tabs)
        return {};
    return {{QStringLiteral("id"), QString::number(tabs->tabAt(pos))}};
}

QString QTabBarSelectPE::valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes, bool*)
{
    auto* tabs = qobject_cast<QTabBar*>(widget);
    if (!tabs || propertyName != QLatin1String("elementAtPoint"))
        return QString();
    const int index = attributeNumber(attributes, "id");
    return index >= 0 && index < tabs->count() ? tabs->tabText(index) : QLatin1String("");
}
