// Wait: sleeping until the window, the traffic or a signal needs the program.
#pragma once

#include <ctime>

// Sets up the signals the program answers: SIGINT and SIGTERM ask it to stop,
// SIGUSR1 asks for the counts. They stay blocked but for the wait, so none
// is lost between a check and the sleep; threads started later inherit the
// block, so the wait is the only place they arrive. SIGPIPE is ignored: a log reader
// that goes away shows as a failed write.
void catchSignals();

// Sleeps until the X connection has events, fd (if not -1) is readable, a
// signal comes or timeout (if not null) has passed, and writes the counts if
// SIGUSR1 came. Returns at once when Xlib already holds events. True when fd
// is readable and no stop was asked for.
bool awaitInput(int fd, const timespec *timeout);

// Ending: asked for by Escape, a signal or a log reader that has gone.
void requestStop();
bool stopRequested();
