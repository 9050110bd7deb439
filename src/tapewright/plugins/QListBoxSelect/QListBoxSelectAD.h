#pragma once
// Records the mouse events on a list box's viewport (a list-mode QListView or QListWidget, the
// popup list of a combo box included) as "QListBox::mouseEvent" naming the item by index and
// text with the point as an offset inside it. A drag outside the viewport or a press on its
// empty area is recorded as its release followed by "QListBox::ensureSelected", a snapshot of
// every item's selection and the current item, which playback imposes.
#include "tapewright/RecorderAdapter.h"
#include "tapewright/plugins/ViewportGestures/ViewportGestures.h"

class QListView;

class QListBoxSelectAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
    int priority() const override { return 150; }
    // A list box passes the setting to its viewport, which receives the mouse events.
    void setEnabled(QObject* object, bool on) override;

    static QDomElement ensureSelectedElement(QDomDocument& document, const QListView* view, int savedCurrent);
    static void playEnsureSelected(const QDomElement& element, QListView* view);

private:
    static void playMouse(QListView* view, const QDomElement& element);

    ViewportGestures gestures_;
};
