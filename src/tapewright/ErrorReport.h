#pragma once
// The one way the record and playback component reports an error. With errorMessageLocation
// 1 a modal box lets the operator abort the program or ignore the error (timers are held back
// while it is open); otherwise the message goes to standard error. Ending the program runs the
// exit hooks first, so that a recording or the playback output is closed and flushed. A message
// too long to read (it echoes what a script or a peer gave) is cut to its beginning and end.
#include <QString>
#include <functional>

void reportError(bool canContinue, const QString& message);
// How many errors have been reported in this process, wherever they went: a run that reported
// one did not do all its script asked.
int reportedErrors();

// Registers work to run before a reported error ends the process; returns a handle for
// removeExitHook. Hooks run in reverse order of registration, each once.
int addExitHook(std::function<void()> hook);
void removeExitHook(int handle);

// Hands every report to `sink` instead (no box, no exit) while set; an empty function ends
// that. For programs that feed the component arbitrary input and must keep running.
void setErrorSink(std::function<void(bool canContinue, const QString& message)> sink);

// Runs the exit hooks and ends the process with status -1 (255).
[[noreturn]] void exitAfterError();

// The report as standard error gets it: the message on a line of its own, and a fatal one
// ends the process (exitAfterError).
void reportToStandardError(bool canContinue, const QString& message);

// Makes a thread that Qt cannot start (the window system's event reader, the pool that draws,
// the session bus, a host name's lookup) an error that ends the process with status 255: Qt only
// warns and goes on without the thread, and whatever waits for it then waits for ever. So is a
// thread that a library starts past Qt (the GL driver's, which crashes without it); a std::thread
// that cannot start stays the exception its caller handles. The report goes to standard error
// whatever errorMessageLocation says (a box would wait for those very threads); the exit hooks
// run when the failure comes in the GUI thread. Installed once, in front of the message handler
// in place; the player installs it as it starts, and a program may do so before it creates its
// application object.
void watchThreadStarts();
