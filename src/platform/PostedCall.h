#pragma once
#include <functional>

class QObject;

namespace Platform {

// Runs `call` later in the thread of `receiver` (the GUI thread for the application object),
// through Qt's event queue; dropped if the receiver goes first. What the call holds was made in
// the posting thread. Qt's queue orders that before the call runs, but its lock lives in the Qt
// library, which ThreadSanitizer does not see: a release here and an acquire before the call
// show it the same order, so a hand-over is not taken for a race while real races stay visible.
void postToThreadOf(QObject* receiver, std::function<void()> call);

}
