#pragma once
// Base of every adapter: a small plug-in that plays its own script elements ("Class::operation")
// directly on the widget. play() returns false for elements that are not its own, and true for
// its own ones, also when the widget turned out to be of the wrong class (reported, consumed).
#include <QDomElement>

class QObject;

class PlayBackAdapter
{
public:
    virtual ~PlayBackAdapter() = default;
    virtual bool isRecorderAdapter() const { return false; }
    virtual bool play(QObject* widget, const QDomElement& element)
    {
        (void)widget;
        (void)element;
        return false;
    }
};
