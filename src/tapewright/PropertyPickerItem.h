#pragma once
// One row of the property picker: the widget path, the property name and the attributes that
// identify the picked element inside the widget (empty for a plain Qt property).
#include <QMap>
#include <QString>
#include <QTreeWidgetItem>

class PropertyPickerItem : public QTreeWidgetItem
{
public:
    PropertyPickerItem(QTreeWidget* view, const QString& name, const QString& property,
                       const QMap<QString, QString>& attributes)
        : QTreeWidgetItem(view, {name, property}), attributes(attributes)
    {}

    QMap<QString, QString> attributes;
};
