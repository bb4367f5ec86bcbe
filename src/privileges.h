// Privileges: giving up what a process no longer needs, in either process:
// the capture privilege once it has served, root's id, system calls.
#pragma once

#include <cstddef>
#include <seccomp.h>
#include <sys/types.h>

// Under sudo (real user root, SUDO_UID and SUDO_GID set), becomes the user
// who ran sudo, with that user's groups, so nothing after runs as root and
// the X connection is made by the display's owner. Does nothing otherwise.
// Returns the step that failed, or nullptr.
const char *becomeInvokingUser();

// For the capture process: the same under sudo, nobody when started as
// root without sudo (root owns files that a uid-0 parser could change), and
// nothing otherwise. Returns the step that failed, or nullptr.
const char *becomeUnprivileged();

// sudo's SUDO_UID and SUDO_GID as ids: whole decimal numbers, nothing else.
bool parseIds(const char *uid_text, const char *gid_text, uid_t &uid, gid_t &gid);

// Clears every capability (effective, permitted, inheritable, ambient) and
// sets no_new_privs so none comes back through exec. Returns the step that
// failed, or nullptr once the process holds nothing.
const char *shedPrivileges();

// Loads a seccomp filter whose building ended with result (libseccomp's
// negated errno, 0 when every step went well) and releases it. Returns the
// step that failed, with errno set, or nullptr once the filter holds.
const char *loadFilter(scmp_filter_ctx filter, int result);

// The path of the running binary, for a remedy the user can paste as it
// stands; "skevla" when the kernel does not tell.
const char *executablePath();

// text as one word for the shell: as it is when it holds only characters
// the shell leaves alone, else in single quotes. Returns out.
const char *shellWord(const char *text, char *out, std::size_t size);
