#pragma once
// The gestures of the selection adapters whose outcome depends on timing: a drag with a button
// held outside a view's viewport (auto-scrolling) and a press on its empty area. Each viewport
// has its own state, so a gesture in one view never holds back events of another; the state of
// a destroyed viewport is dropped.
#include "tapewright/EventReplacement.h"

#include <QHash>
#include <QObject>
#include <functional>
#include <optional>

class QMouseEvent;
class QWidget;

class ViewportGestures
{
public:
    struct State
    {
        bool dragOutside = false;
        bool pressOnEmpty = false;
        int savedCurrent = 0;
        // A press, or a move with a button held, reached the viewport since its last release.
        bool buttonSeen = false;
    };

    State& state(QObject* viewport);

    // The common first steps: while a press on the empty area lasts, everything but the release
    // is taken; outside the viewport everything but the release is taken, and a held button or
    // modifier marks a drag. No value: the adapter goes on with the event.
    std::optional<EventReplacement> filter(QWidget* viewport, const QMouseEvent* event);

    // At a release: when a gesture was under way, records the release element at once and
    // answers with the snapshot of the whole selection instead; otherwise the release element.
    EventReplacement finish(QObject* viewport, const QMouseEvent* event, const QDomElement& mouseElement,
                            const std::function<QDomElement()>& snapshot);

private:
    QHash<QObject*, State> states_;
    QObject guard_;
};
