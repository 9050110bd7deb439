#pragma once
// Property extension: the item texts of a combo box, joined by ", " (null without items).
#include "tapewright/PropertyExtension.h"

class QComboBoxElementsPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
