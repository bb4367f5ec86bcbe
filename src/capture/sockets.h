// Sockets: live capture. What the host receives (-Q in, the default) comes
// through a raw IPv4 socket for TCP and, beside it, a packet socket for
// IPv6, which hands over each IPv6 packet from its header on (once: a
// socket bound to one protocol sees no outgoing copies). What it sends (-Q
// out), or both (-Q inout), comes through one packet socket for every
// protocol, whose kernel filter keeps IPv4 and IPv6 going the chosen way.
// Each datagram comes with the kernel's stamp and drop count.
#pragma once

#include "capture.h"
#include "failure.h"
#include "filter.h"

#include <cstdint>

enum class direction { in, out, inout };

// Opens the sockets for that direction and, for a name, binds them to that
// interface. Needs the capture privilege. False with why: status 2 for an
// interface that does not exist.
bool openSockets(const char *interface, direction way, failure &why);

// Filters the sockets in the kernel with the programs, keeping what goes
// that way, and asks for stamps and drop counts with every datagram. Needs
// no privilege.
bool prepareSockets(socket_programs &programs, direction way, failure &why);

// The next datagram from either socket, in the order the kernel received
// them, waiting for it; nothing_yet when the channel has a request first;
// gone when the interface went down or away.
outcome nextFromSockets(found &taken, failure &why);

// The kernel's count of datagrams it dropped for the sockets, as it stands.
std::uint64_t socketDrops();

inline constexpr source socket_source{nextFromSockets, socketDrops};
