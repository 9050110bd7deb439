#pragma once
// Property extension: the text of the list item under the mouse (list-mode QListView, QListWidget).
#include "tapewright/PropertyExtension.h"

class QListBoxSelectPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
