#pragma once
// Records the mouse events on a popup menu as "QPopupMenu::mouseEvent" naming the item by its
// id (the index of its action in the menu) and text, with the point as an offset inside the
// item; playback finds the item again (a unique text wins over the id) and rebuilds the event
// inside its present rectangle. Plays "QPopupMenu::Select" too.
#include "tapewright/RecorderAdapter.h"
#include "tapewright/plugins/QPopupSelect/PopupMap.h"

#include <QPointer>

class QMenu;

class QPopupSelectAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;

    // The item id at the point: the action's index, -1 for none or a separator.
    static int idAt(const QMenu* menu, const QPoint& point);

private:
    void playMouse(QMenu* menu, const QDomElement& element);

    PopupMap popups_;
    // The menu a played press went to: Qt ignores a release on a menu that saw no press.
    QPointer<QMenu> pressedMenu_;
};
