#include "views/navigation/DisplayTimer.h"

#include "views/TimedView.h"
#include "views/ViewFailure.h"

void DisplayTimer::connect(QObject* receiver, TimedView& view)
{
    view.setRate(15.0);
    QObject::connect(view.getTimer(), &QTimer::timeout, receiver, [&view] {
        try {
            view.update();
        }
        VIEW_CATCH_ALL
    });
}
