#pragma once
// Property extension: the text of the table cell under the mouse (QTableView, QTableWidget).
#include "tapewright/PropertyExtension.h"

class QTableElementPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
