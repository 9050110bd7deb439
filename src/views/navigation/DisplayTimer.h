#pragma once
// The self-update of the navigation displays: the TimedView timer's timeout calls the display's
// `update` in the GUI thread; a failure is reported on the trail and never reaches Qt.
class QObject;
class TimedView;

class DisplayTimer
{
public:
    static void connect(QObject* receiver, TimedView& view);
};
