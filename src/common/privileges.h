// Privileges: giving up what a process no longer needs, in every process:
// root's id, every capability, system calls, descriptors.
#pragma once

#include "failure.h"

#include <cstddef>
#include <cstdint>
#include <linux/landlock.h>
#include <seccomp.h>
#include <span>
#include <sys/types.h>

// Who a process becomes when it gives up root.
enum class identity {
    invoking_user, // under sudo the user who ran sudo; otherwise as it was started
    unprivileged,  // the same, but nobody when started as root without sudo
    drawing,       // the same as unprivileged, but nobody keeps the groups that own the
                   // GPU's device nodes (video, render), so a GPU still serves
};

// Under sudo (real user root, SUDO_UID and SUDO_GID set), becomes the
// user who ran sudo, with that user's groups and HOME, which leaves no
// capability; does nothing otherwise. For what must be done as that user
// before the rest is given up. False with why.
bool becomeInvokingUser(failure &why);

// Becomes who: under sudo (real user root, SUDO_UID and SUDO_GID set) the
// user who ran sudo, with that user's groups and HOME, so nothing after
// runs as root and the X connection is made by the display's owner; then
// clears every capability (effective, permitted, inheritable, ambient,
// and the bounding set where root may) and sets no_new_privs, so none
// comes back through exec. False with why, naming the step that failed:
// going on privileged is never the fallback.
bool dropAll(identity who, failure &why);

// sudo's SUDO_UID and SUDO_GID as ids: whole decimal numbers, nothing else.
bool parseIds(const char *uid_text, const char *gid_text, uid_t &uid, gid_t &gid);

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

// The path of the running binary, for a remedy the user can paste as it
// stands; "skevla" when the kernel does not tell.
const char *executablePath();

// text as one word for the shell: as it is when it holds only characters
// the shell leaves alone, else in single quotes. Returns out.
const char *shellWord(const char *text, char *out, std::size_t size);
