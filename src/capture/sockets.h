// Sockets: live capture through one packet socket whose receive ring the
// kernel fills in blocks (TPACKET_V3), as tcpdump's libpcap captures: no
// system call per datagram, and a buffer of -B KiB that rides out a stall.
// The socket hands over each frame from its IP header on, and a filter in
// the kernel keeps IPv4 and IPv6 going the chosen way (-Q: received by
// default), frames for other hosts left out, on the loopback interface
// (which hands each frame over once sent and once received) the received
// copy alone, then what -f keeps of TCP. Each datagram comes with the
// kernel's stamp; the ring's drops are the kernel's count.
#pragma once

#include "capture.h"
#include "failure.h"
#include "filter.h"
#include "ring.h"

#include <cstdint>

enum class direction { in, out, inout };

// Opens the socket and, for a name, binds it to that interface. Needs the
// capture privilege. False with why: status 2 for an interface that does
// not exist.
bool openSockets(const char *interface, failure &why);

// Filters the socket in the kernel with program, keeping what goes that
// way, and maps a ring of ring_kib KiB. Needs no privilege.
bool prepareSockets(bpf_program &program, direction way, unsigned ring_kib, failure &why);

// The next datagram, in the order the kernel received them, if the ring has
// one; gone when the interface went down or away.
outcome nextFromSockets(found &taken, failure &why);

// What to wait on for the next.
int socketDescriptor();

// What the kernel has counted for the ring, all told: datagrams passed to
// it and dropped, and those in it not yet taken.
void countSockets(tallies &told);

// The ring's size in bytes.
std::size_t ringBytes();

inline constexpr source socket_source{
    nextFromSockets, socketDescriptor, countSockets, [] { return std::uint64_t{0}; }, 0, ringBytes,
    nullptr,         nullptr,          nullptr};
