// Identity: who each process runs as once it gives up root: under sudo the
// user who ran it, started as plain root skevla's own id, else as started;
// and giving up root's id and every capability for good.
#pragma once

#include "failure.h"

#include <sys/types.h>

// Who a process becomes when it gives up root: under sudo the user who ran
// sudo; started as plain root, skevla's own id (ownId); otherwise as it was
// started.
enum class identity {
    unprivileged,
    drawing, // the same, but skevla's own id keeps the groups that own the GPU's
             // device nodes (video, render), so a GPU still serves
};

// The range of ids systemd keeps for dynamic users, where a plain-root run
// finds an id of its own.
inline constexpr unsigned dynamic_first = 61184, dynamic_last = 65519;

// The id every process of a plain-root run becomes, never root's or
// nobody's, and no other run's, so that no process of one run can reach
// another's (their memory, their System V segments, through the X server
// too): the one in SKEVLA_UID, which the viewer sets for the children it
// starts; else one chosen now from the dynamic range that no account and
// no running process has, kept as systemd keeps its dynamic users' (a lock
// file in /run/systemd/dynamic-uid) until this process ends, and set in
// SKEVLA_UID. False with why.
bool ownId(uid_t &uid, gid_t &gid, failure &why);

// Started as plain root, chooses skevla's own id for the whole run before
// any child starts, so that every process becomes the same; does nothing
// otherwise. False with why.
bool chooseOwnId(failure &why);

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

// Whom the run's files are for: under sudo the user who ran it, else the
// effective user as started.
uid_t runUser();

// sudo's SUDO_UID and SUDO_GID as ids: whole decimal numbers, nothing else.
bool parseIds(const char *uid_text, const char *gid_text, uid_t &uid, gid_t &gid);
