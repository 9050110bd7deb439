#pragma once
// The program's run from start-up to shutdown, as `main` does it: start-up environment, run
// mode, application object, main window, 3D mouse, event loop, exception box and trail, end of
// recording, sibling program. The exit code is 0 after a normal run and 1 after an exception;
// in test mode a playback's end ends the run with the playback's code, and a run whose unit
// reported an error ends with -1 (255).
#include "shell/main/IRecordPlayback.h"

#include <functional>

class MainWindow;

class Program
{
public:
    // Without hook.create nothing is recorded or played. `started` runs once the window is up,
    // before the event loop.
    static int run(int argc, char** argv, const RecordPlaybackHook& hook,
                   const std::function<void(MainWindow&)>& started = {});
    // Speakers at 0.8 and wave-out at 1.0, both unmuted; true when all four calls succeeded.
    static bool applyStartupEnvironment();
    // "StartMenu" in the application folder, started detached when it is there.
    static void startSibling();
};
