// Children: the one way the viewer starts a child program (the capture helper,
// the replay reader, the snapshot keeper). Each is an executable of its
// own, found beside skevla (a build tree, or a copy made with all of them)
// or where the package installs it relative to skevla, and started afresh
// with posix_spawn, never forked from the viewer: it shares neither the
// viewer's memory nor its address layout.
#pragma once

#include "failure.h"

#include <sys/types.h>

struct child {
    pid_t pid;
    int channel; // the viewer's end of the SOCK_SEQPACKET channel to it
};

// Starts program ("skevla-capture") with arguments (its name first,
// null-terminated): the channel on its descriptor 3, its standard
// descriptors the viewer's, nothing else; the signals a terminal sends are
// blocked in it until it ignores them. False with why, which names what
// ("capture helper"), its path and the cause, and the remedy: denied where
// it may not be run (nullptr: there is none), else that it belongs beside
// skevla.
bool spawnChild(const char *program, const char *what, const char *const arguments[],
                const char *denied, child &out, failure &why);
