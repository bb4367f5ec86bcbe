// Launch: starting the capture process, and telling how it ended.
#pragma once

#include "failure.h"

struct options;

// Starts the capture process and makes sock the channel to it: for live
// capture the helper, skevla-capture, found beside this program or where it
// was installed relative to it; for a replay a forked child that opens the
// file as the user the run is for (for "-" it reads standard input, which
// /dev/null then replaces here). False with why.
bool startCapture(const options &settings, failure &why);

// The channel closed: waits a second at most for the capture process to
// end, and says in why how it did: "the capture process ended: killed by
// SIGKILL", and for SIGSYS that its sandbox refused a call, named when
// refused_call is not -1.
void reapCapture(int refused_call, failure &why);

// A descriptor that is readable once the capture process has ended, or -1
// once it has been reaped; then reaps it.
int captureEnd();
void collectCapture();
