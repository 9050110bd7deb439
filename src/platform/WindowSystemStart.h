#pragma once

namespace Platform {

// Qt ends a program whose window system it cannot reach (no DISPLAY, a dead one) with a fatal
// message and abort(). Watched from just before the application object is made until it is
// made, that end is said plainly on standard error instead ("No usable display: ...") and the
// program ends with `status`. The message handler in place before still sees every message.
void watchWindowSystemStart(int status);
void endWatchingWindowSystemStart();

}
