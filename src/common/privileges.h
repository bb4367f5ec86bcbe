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

// Who a process becomes when it gives up root: under sudo the user who ran
// sudo; started as plain root, skevla's own id (ownId); otherwise as it was
// started.
enum class identity {
    unprivileged,
    drawing, // the same, but skevla's own id keeps the groups that own the GPU's
             // device nodes (video, render), so a GPU still serves
};

// Skevla's own system user, which the package makes.
inline constexpr char own_user[] = "_skevla";

// The range of ids systemd keeps for dynamic users, where a build tree's
// run finds an id of its own.
inline constexpr unsigned dynamic_first = 61184, dynamic_last = 65519;

// The id every process of a plain-root run becomes, never root's or
// nobody's: _skevla's where the package made it; else the one in
// SKEVLA_UID, which the viewer sets for the children it starts; else one
// chosen now from the dynamic range that no account and no running process
// has, held as systemd holds its dynamic users' (a lock file in
// /run/systemd/dynamic-uid) until this process ends, and set in
// SKEVLA_UID. False with why.
bool ownId(uid_t &uid, gid_t &gid, failure &why);

// Started as plain root, settles skevla's own id for the whole run before
// any child starts, so that every process becomes the same; does nothing
// otherwise. False with why.
bool settleOwnId(failure &why);

// Under sudo (real user root, SUDO_UID and SUDO_GID set), becomes the
// user who ran sudo, with that user's groups and HOME, which leaves no
// capability; does nothing otherwise. For what must be done as that user
// before the rest is given up. False with why.
bool becomeInvokingUser(failure &why);

// Becomes who: under sudo (real user root, SUDO_UID and SUDO_GID set) the
// user who ran sudo, with that user's groups and HOME, so nothing after
// runs as root and the X connection is made by the display's owner; as
// plain root skevla's own id; then clears every capability (effective,
// permitted, inheritable, ambient, and the bounding set where root may)
// and sets no_new_privs, so none comes back through exec. False with why,
// naming the step that failed: going on privileged is never the fallback.
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
