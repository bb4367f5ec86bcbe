// Launch: starting the capture process, and telling how it ended.
#pragma once

#include <cstddef>

struct options;

// Starts the capture process and makes sock the channel to it: for live
// capture the helper, skevla-capture, found beside this program or where it
// was installed relative to it; for a replay a forked child that reads the
// file (for "-", standard input, which /dev/null then replaces here).
// Returns 0, or the exit status of the failure with its cause in why.
int startCapture(const options &settings, char *why, std::size_t size);

// Waits for the capture process to end, and writes into why how it did:
// "the capture process ended: killed by SIGKILL", and for SIGSYS that its
// sandbox refused a call, named when refused_call is not -1.
void reapCapture(long refused_call, char *why, std::size_t size);
