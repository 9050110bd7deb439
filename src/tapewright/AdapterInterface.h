#pragma once
// The running recorder as adapters see it: it owns the document their elements are created in.
#include <QDomElement>

class QObject;

class AdapterInterface
{
public:
    virtual ~AdapterInterface() = default;
    // Records a complete element outside the normal event flow; sleep -1 uses the recorder's clock.
    virtual void addElement(QDomElement element, int sleep = -1) = 0;
    virtual void ignoreChildren(QObject* object) = 0;
    virtual void ignoreObject(QObject* object) = 0;
    virtual void unignoreObject(QObject* object) = 0;
};
