#pragma once
// Objects whose events the recorder leaves out. A destroyed object leaves the map by itself.
#include <QHash>
#include <QObject>

class IgnoreMap : public QObject
{
    Q_OBJECT
public:
    void ignore(QObject* object);
    bool isIgnored(QObject* object) const { return map_.value(object, false); }

public slots:
    void objectDies(QObject* object);

private:
    QHash<QObject*, bool> map_;
};
