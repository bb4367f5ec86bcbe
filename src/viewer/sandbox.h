// Sandbox: what the viewer may still do once its window and GL context
// exist. It parses no byte off the network, but has the X connection, the
// terminal and the user's files, so a fault must find nothing there to use.
#pragma once

#include "failure.h"

#include <cstddef>

// Before the GL driver starts, and its threads, which inherit it: Landlock
// for good. No file may be created or written but the device files under
// /dev a GL driver opens, no process outside this one signalled, traced or
// read through /proc. Where the kernel has no Landlock, says so once and
// goes on. And of System V IPC only the shared memory of pictures of at
// most picture_bytes that the GL driver hands the X server (none with no
// X). False with why where the kernel refuses either.
bool confine(std::size_t picture_bytes, failure &why);

// Installs a seccomp filter on every thread that refuses, with an error (so
// a GL driver that probes gets an answer), whatever a fault would want and
// the loop never needs: running programs or starting processes, tracing or
// reading other processes, signalling or acting on any process but itself,
// new sockets, sending other than through what is connected, changing a
// socket, opening a file to write or create it, changing files or their
// modes, owners, times and attributes, pushing input into a terminal, new
// namespaces and mounts, the kernel's keyrings, userfaultfd, perf and bpf.
// Of files it truncates only the recording (a descriptor, or -1 for none).
// A foreign architecture kills the process. False with why.
bool enterSandbox(int recording, failure &why);
