// Morvanta: the program entry. "-test" selects test mode; any other first argument, or none,
// the normal mode. The record/playback component takes its own options from the command line.
#include "TapewrightRecordPlayback.h"
#include "WidgetStateDump.h"
#include "shell/main/MainWindow.h"
#include "shell/main/Program.h"
#include "tapewright/ErrorReport.h"

int main(int argc, char** argv)
{
    // Qt only warns when it cannot start a thread (the application object starts the window
    // system's event reader) and the program would then wait for ever: watched from before the
    // first one, such a run is reported and ends with 255.
    watchThreadStarts();
    return Program::run(argc, argv, TapewrightRecordPlayback::hook(),
                        [](MainWindow& window) { WidgetStateDump::installFromEnvironment(window); });
}
