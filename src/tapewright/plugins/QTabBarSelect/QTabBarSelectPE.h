#pragma once
// Property extension: the text of the tab under the mouse (QTabBar).
#include "tapewright/PropertyExtension.h"

class QTabBarSelectPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
