// Privileges: giving up the capture privilege once it has served.
#pragma once

#include <cstddef>

// Clears every capability (effective, permitted, inheritable, ambient) and
// sets no_new_privs so none comes back through exec. Returns the step that
// failed, or nullptr once the process holds nothing.
const char *shedPrivileges();

// The path of the running binary, for a remedy the user can paste as it
// stands; "skevla" when the kernel does not tell.
const char *executablePath();

// text as one word for the shell: as it is when it holds only characters
// the shell leaves alone, else in single quotes. Returns out.
const char *shellWord(const char *text, char *out, std::size_t size);
