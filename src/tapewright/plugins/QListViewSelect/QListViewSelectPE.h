#pragma once
// Property extension: the column texts and the open state of the tree item under the mouse (QTreeView).
#include "tapewright/PropertyExtension.h"

class QListViewSelectPE : public PropertyExtension
{
public:
    QList<PropertyItem> properties(QWidget* widget) override;
    QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) override;
    QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                      bool* prefix) override;
};
