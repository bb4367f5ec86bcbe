// Sandbox: what the viewer may still do once its window and GL context
// exist. It parses no byte off the network, but holds the X connection, the
// terminal and the user's files, so a fault must find nothing there to use.
#pragma once

#include "failure.h"

// Installs a seccomp filter on every thread that refuses, with an error (so
// a GL driver that probes gets an answer), whatever a fault would want and
// the loop never needs: running programs or starting processes, tracing or
// reading other processes, new sockets, sending other than through what is
// connected, changing a socket, creating or changing files or their modes,
// owners, times and attributes, pushing input into a terminal, new
// namespaces and mounts, the kernel's keyrings, userfaultfd, perf and bpf.
// A foreign architecture kills the process. False with why.
// With create_beneath (Landlock confines creation to one directory), an
// open that creates a new file to write (O_WRONLY, O_CREAT, O_EXCL) is let
// through, one that truncates or writes an existing file never.
bool enterSandbox(bool create_beneath, failure &why);
