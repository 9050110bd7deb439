#pragma once
// How a recorder adapter presents itself: its class name (also its identifier in configuration
// files), a short translated title and a translated rich-text description.
#include <QString>

struct AdapterInfo
{
    QString name;
    QString title;
    QString description;
};
