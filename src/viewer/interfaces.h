// Interfaces: the list -D prints, of what -i takes. Needs no privilege.
#pragma once

#include <cstddef>

// One line of -D in tcpdump's form: "index.name [Up, Running, Loopback]",
// or "[none]". Returns its length.
int formatInterface(char *out, std::size_t size, unsigned index, const char *name, unsigned flags);

// The lines of -D for every interface, in order of index. False with errno
// set when the kernel does not tell.
bool listInterfaces(char *out, std::size_t size);
