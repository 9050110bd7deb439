// Morvanta: the program entry. "-test" selects test mode; any other first argument, or none,
// the normal mode. The record/playback component takes its own options from the command line.
#include "TapewrightRecordPlayback.h"
#include "WidgetStateDump.h"
#include "shell/main/MainWindow.h"
#include "shell/main/Program.h"

int main(int argc, char** argv)
{
    return Program::run(argc, argv, TapewrightRecordPlayback::hook(),
                        [](MainWindow& window) { WidgetStateDump::installFromEnvironment(window); });
}
