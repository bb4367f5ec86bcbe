// Signals: SIGINT, SIGTERM, SIGUSR1 and SIGCHLD arrive as bytes on a pipe
// that the loop waits on with everything else, so they act at once however
// fast traffic comes. A second SIGINT or SIGTERM ends the program on the spot,
// whatever it is blocked in (a stopped X server, a terminal nobody reads),
// with the status the signal implies and the counts if they can be written
// without waiting. The handler formats them with nothing that could lock.
#pragma once

// Blocks them, first thing, so none can kill the program before its
// handler is in place.
void blockSignals();

// Makes the pipe, installs the handlers and lets the three in. False with
// errno set when it cannot.
bool catchSignals();

// The pipe's end to wait on.
int signalDescriptor();

// What the signals caught since the last call ask for: the counts line
// (SIGUSR1), the end (SIGINT, SIGTERM), children to reap (SIGCHLD).
struct signal_requests {
    bool counts, end, children;
};
signal_requests takeSignals();

// A start-up step that may wait for ever on another program (an X server
// that takes the connection and never answers): unless endLimit comes
// within seconds, line goes to standard error and the run ends, status 1.
void limitStep(unsigned seconds, const char *line);
void endLimit();
