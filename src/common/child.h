// Child: how every program the viewer starts (the live capture helper, the
// replay reader, the snapshot keeper, the video encoder) runs, in the same
// steps and the same order: close what it inherited, read its arguments,
// acquire what its job needs, give up every privilege, follow the viewer,
// enter its box, serve. What differs between them is the data of a
// child_program; what every box allows is here, once.
#pragma once

#include "boxes.h"
#include "failure.h"
#include "identity.h"

#include <cstdint>
#include <span>
#include <sys/stat.h>

// Where a child finds its channel to the viewer, a SOCK_SEQPACKET socket,
// and the file the viewer hands one to write, where it hands one.
inline constexpr int channel_descriptor = 3;
inline constexpr int handed_descriptor = 4;

struct child_program {
    const char *name; // as it is called in its messages: "capture helper"
    identity who;     // who it becomes when it gives up its privileges
    // Its own arguments, after a leading --no-sandbox; false with why
    // (status 2) for any it does not take.
    bool (*read)(int argc, char **argv, failure &why);
    // What its job needs and only privilege or the start may give: sockets,
    // a file, a directory.
    bool (*acquire)(failure &why);
    // With no privilege left and before the box: what needs the file system
    // (a filter compiled from names in /etc).
    bool (*prepare)(failure &why);
    // Its box: the calls it may make, anything else refused.
    std::span<const rule> allowed;
    // Where it may change the file system (Landlock); empty: nowhere.
    std::span<const beneath> changes;
    // Tells the viewer which call its box refused, just before it dies; or
    // nullptr, and a refused call ends it at once.
    void (*refused)(int call);
    // Standard error stays open (the keeper says what it saved there).
    bool speaks;
    // It finishes its work when the viewer ends, rather than dying with it:
    // it ends when its channel hangs up.
    bool finishes;
    // It writes the file the viewer hands it on handed_descriptor, which it
    // keeps.
    bool handed;
    // Tells the viewer why it cannot start, and ends with the status. (A
    // type attribute: these never return, which [[noreturn]] cannot say.)
    void (*fail)(const failure &why) __attribute__((noreturn));
    void (*serve)() __attribute__((noreturn));
};

// Runs the child: the steps, then serve. A failed step ends it through
// fail, as does a viewer that has gone already.
[[noreturn]] void runChild(const child_program &program, int argc, char **argv);

// Whether the viewer has gone: the channel hung up. For a wait that is not
// on the channel itself.
bool viewerGone();

// A descriptor's status through the fstat call itself, which every child's
// box allows; glibc's fstat asks newfstatat, which it refuses.
int fileStat(int fd, struct stat &out);
