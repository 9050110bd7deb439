#pragma once
// Records the mouse events on a tab bar as "QTabBar::mouseEvent" naming the tab by label, id
// (its index) and index, with the point as an offset inside the tab; playback finds the tab
// again and rebuilds the event at that offset inside its present rectangle.
#include "tapewright/RecorderAdapter.h"

class QTabBar;

class QTabBarSelectAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
    int priority() const override { return 150; }
    // A tab widget passes the setting to its tab bar; any other object keeps it itself.
    void setEnabled(QObject* object, bool on) override;

    // The one tab whose rectangle holds the point (edges included); -1 for none or several.
    static int tabAtPoint(const QTabBar* bar, const QPoint& point);
};
