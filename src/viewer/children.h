// Children: the one way the viewer starts a child program (the capture helper,
// the replay reader, the snapshot keeper). Each is an executable of its
// own, found beside skevla (a build tree, or a copy made with all of them)
// or where the package installs it relative to skevla, and started afresh
// with posix_spawn, never forked from the viewer: it shares neither the
// viewer's memory nor its address layout.
#pragma once

#include "failure.h"

#include <cstddef>
#include <sys/types.h>

struct child {
    pid_t pid;
    int channel; // the viewer's end of the SOCK_SEQPACKET channel to it
};

// Starts program ("skevla-capture") with arguments (its name first,
// null-terminated): the channel on its descriptor 3, handed (a file it is
// to write, or -1) on 4, its standard descriptors the viewer's, nothing
// else; the signals a terminal sends are blocked in it until it ignores
// them. False with why, which names what ("capture helper"), its path and
// the cause, and the remedy: denied where it may not be run (nullptr: there
// is none), else that it belongs beside skevla.
bool spawnChild(const char *program, const char *what, const char *const arguments[],
                const char *denied, child &out, failure &why, int handed = -1);

// Says why the child whose pidfd ended is (what, "the capture process")
// closed its channel, waiting a second at most for its end, which it
// reaps. Its SIGSYS is its box's only where it reported the refused call
// (refused_call, else -1): another process may send one. True when it
// exited with status 0.
bool reapChild(int &ended, const char *what, int refused_call, failure &why);

// Hands a child a picture without waiting: a message of header's size
// bytes with the pixels in a memory file of their own attached. False with
// errno set when the child cannot take it now (EAGAIN) or has ended.
bool handPicture(int channel, const void *header, std::size_t size, const unsigned char *pixels,
                 std::size_t bytes);
