#pragma once
// One property a property extension offers: the picker's submenu title and the property's name.
#include <QString>

class PropertyItem
{
public:
    PropertyItem() = default;
    PropertyItem(const QString& description, const QString& name) : description_(description), name_(name) {}
    virtual ~PropertyItem() = default;

    QString description() const { return description_; }
    QString name() const { return name_; }

private:
    QString description_;
    QString name_;
};
