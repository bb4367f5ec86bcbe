// Children: the one way the viewer starts, watches and reaps its children,
// in one table: the capture process (the helper skevla-capture live, the
// reader skevla-reader for a replay), the snapshot keeper and the video
// encoder. Each is an executable of its own, found beside skevla (a build
// tree) or where the package installs it relative to skevla, started afresh
// with posix_spawn, never forked from the viewer: it shares neither the
// viewer's memory nor its address layout. Its arguments are made here from
// the settings. Its end shows as its channel hanging up, and as SIGCHLD,
// upon which it is reaped: no pidfd, which an old kernel, a container or a
// profiler may not offer.
#pragma once

#include "failure.h"

#include <cstddef>

struct options;

enum class child_role { capture, keeper, encoder };

// Starts the child for role as settings ask, with handed (a file it is to
// write, or -1) on its descriptor 4: the channel on its descriptor 3, its
// standard descriptors the viewer's, nothing else; the signals a terminal
// sends are blocked in it until it ignores them. The capture process, for
// a replay, takes standard input, which /dev/null then replaces here.
// False with why, which names the program, its path, the cause and the
// remedy.
bool startChild(child_role role, const options &settings, int handed, failure &why);

// Its end of the channel, a SOCK_SEQPACKET socket; -1 once closed or never
// started. Closing it tells the child to end.
int channelOf(child_role role);
void closeChannel(child_role role);

// Reaps every child that has ended, without waiting: on SIGCHLD.
void reapChildren();

// Whether the child has ended and been reaped (or was never started).
bool childEnded(child_role role);

// How it ended, in why ("the capture process ended: killed by SIGKILL"),
// the call its box refused named where it reported one (refused_call, else
// -1: another process may send a SIGSYS). True when it exited with status
// 0.
bool endedWell(child_role role, int refused_call, char *how, std::size_t size);
bool endedWell(child_role role, int refused_call, failure &why);

// For start-up and the ending alone: waits a second at most for the child
// to end, and reaps it. False when it has not ended.
bool awaitEnd(child_role role);
