#pragma once
// The dial and slider adapters: a press and the moves of a drag are swallowed and the release
// records the value the widget ended at ("<Class>::setValue" with "value"), which playback sets
// directly. Double clicks, keys and the wheel are recorded the default way.
#include "tapewright/RecorderAdapter.h"

class AbstractSliderSetValueAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    int priority() const override { return 150; }

protected:
    // The Qt class taken ("QDial", "QSlider"), also the class part of the tag.
    explicit AbstractSliderSetValueAD(const char* className);

private:
    const char* className_;
    QString tag_;
};
