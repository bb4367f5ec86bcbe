// Capture: the capture process, whether the helper (live) or the child a
// replay forks. It holds the sockets or the file and nothing else, reads
// and decodes every untrusted byte inside an allowlist sandbox, and hands
// the viewer finished records over the channel, one each time it is asked.
#pragma once

#include <sys/types.h>

// Sends the viewer a start-up failure (its exit status and cause), then
// ends the process with that status.
[[noreturn]] void failCapture(int channel, int status, const char *cause);

// Becomes an unprivileged user with no capability and no_new_privs, or
// fails the start.
void unprivilegeOrFail(int channel);

// Boxes the process in for good, once it holds what it reads: the parent's
// death kills it; SIGINT, SIGTERM and SIGUSR1 are ignored (the viewer
// decides when it ends); /dev/null is on 0 to 2, so no terminal is
// reachable; and, with sandbox, only the calls reading the input and
// writing the channel need are allowed. Privileges must be gone already.
// Fails the start when it cannot.
void boxOrFail(int channel, pid_t parent, bool sandbox);

// Tells the viewer it is ready, then answers it until it goes away or the
// input ends: the sockets of openSockets, or the file of openFile.
[[noreturn]] void serveLive(int channel);
[[noreturn]] void serveFile(int channel);

// The forked child of a replay: the file on descriptor is read in the box.
[[noreturn]] void captureFile(int channel, int descriptor, pid_t parent, bool sandbox);
