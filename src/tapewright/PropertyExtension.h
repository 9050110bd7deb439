#pragma once
// Adds pseudo-properties to the widgets of one class (the entries of a combo box, the cell under
// the mouse, ...). Playback asks every registered extension for a property's text before it reads
// the plain Qt property.
#include "tapewright/PropertyItem.h"

#include <QList>
#include <QMap>
#include <QPoint>
#include <QString>

class QWidget;

class PropertyExtension
{
public:
    virtual ~PropertyExtension() = default;
    virtual QList<PropertyItem> properties(QWidget* widget) = 0;
    virtual QMap<QString, QString> attributesAt(QWidget* widget, const QString& propertyName, const QPoint& pos) = 0;
    // Null when the extension does not handle the widget and property; clearing *prefix makes
    // the text stand alone in the output.
    virtual QString valueText(QWidget* widget, const QString& propertyName, const QMap<QString, QString>& attributes,
                              bool* prefix) = 0;
};
