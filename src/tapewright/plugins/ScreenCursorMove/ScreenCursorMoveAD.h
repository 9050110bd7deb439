#pragma once
// Plays "ScreenCursorMove": moves the screen cursor to a point of the widget, sending no event.
#include "tapewright/PlayBackAdapter.h"

class ScreenCursorMoveAD : public PlayBackAdapter
{
public:
    bool play(QObject* widget, const QDomElement& element) override;
};
