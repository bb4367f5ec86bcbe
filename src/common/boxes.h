// Boxes: what a process may still do once it has given up its privileges:
// a seccomp filter of rules, Landlock beneath the directories it may
// change, and no descriptor it did not mean to keep.
#pragma once

#include "failure.h"

#include <cstddef>
#include <cstdint>
#include <linux/landlock.h>
#include <seccomp.h>
#include <span>

// One rule of a seccomp filter: what happens to call when its arguments
// compare so (all of the first `arguments` comparisons hold).
struct rule {
    std::uint32_t action;
    int call;
    unsigned arguments = 0;
    scmp_arg_cmp compare[3] = {};
};

// Loads a filter of rules, with otherwise for every other call, on this
// thread or, with every_thread, on all of the process's threads; a foreign
// architecture kills the process. False with why, naming which filter
// (what) and the step that failed.
bool loadRules(std::uint32_t otherwise, std::span<const rule> rules, bool every_thread,
               const char *what, failure &why);

// What a process may still change beneath one directory, with Landlock.
struct beneath {
    int directory;       // an O_PATH descriptor
    std::uint64_t allow; // LANDLOCK_ACCESS_FS_ rights
};

// Enters Landlock for good, on this thread and what it starts: no file may
// be created, written, truncated, removed, renamed or linked but as the
// rules allow; and where the kernel's ABI has scoping, no process outside
// the process's own domain may be signalled or reached through an abstract
// socket. Landlock scopes ptrace too, so /proc/PID/mem of any other process
// stays closed. False with why where the kernel refuses it; missing is set,
// and true returned, where the kernel has no Landlock at all.
bool enterLandlock(std::span<const beneath> rules, bool &missing, failure &why);

// Closes every descriptor above last. False with errno set when the kernel
// does not.
bool closeAbove(int last);
