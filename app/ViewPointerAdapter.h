#pragma once
// The record/playback adapter of the planning views: a press, move or release in a slice view is
// recorded at its place relative to the view's size and played at the same relative place, to the
// fraction of a pixel. The views scale their picture with their size, so the point keeps its
// meaning in the volume at another window or font size.
#include "tapewright/RecorderAdapter.h"

class ViewPointerAdapter : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
};
