// Launch: starting the capture process, and telling how it ended.
#pragma once

#include "failure.h"

struct options;

// Starts the capture process and makes sock the channel to it: for live
// capture the helper, skevla-capture, the one thing skevla does with its
// privilege; for a replay the reader, skevla-reader, as the user the run
// is for, which for "-" takes standard input (which /dev/null then
// replaces here). False with why.
bool startCapture(const options &settings, failure &why);

// The channel closed: waits a second at most for the capture process to
// end, and says in why how it did: "the capture process ended: killed by
// SIGKILL", and for SIGSYS that its sandbox refused a call when it said so
// (refused_call, -1 when it did not).
void reapCapture(int refused_call, failure &why);

// A descriptor that is readable once the capture process has ended, or -1
// once it has been reaped; then reaps it.
int captureEnd();
void collectCapture();
