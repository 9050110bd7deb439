// Morvanta: the program entry. "-test" selects test mode; any other first argument, or none,
// the normal mode. Nothing is recorded until the record/playback unit is wired in.
#include "shell/main/Program.h"

int main(int argc, char** argv)
{
    return Program::run(argc, argv, nullptr);
}
