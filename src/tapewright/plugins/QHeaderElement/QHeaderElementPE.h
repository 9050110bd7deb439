#pragma once
// Property extension: the label of the header section under the mouse (QHeaderView).
#include "tapewright/PropertyExtension.h"

class QHeaderElementPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
