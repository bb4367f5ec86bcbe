// Capture: the live source. A raw IPv4 socket for TCP, and beside it a
// packet socket for IPv6, which hands over each IPv6 packet the host
// receives from its header on (once: a socket bound to one protocol sees no
// outgoing copies).
#pragma once

#include <cstddef>
#include <pcap/pcap.h>

// One line of -D in tcpdump's form: "index.name [Up, Running, Loopback]",
// or "[none]". Returns its length.
int formatInterface(char *out, std::size_t size, unsigned index, const char *name, unsigned flags);

// The lines of -D for every interface, in order of index. Needs no
// privilege. False with errno set when the kernel does not tell.
bool listInterfaces(char *out, std::size_t size);

// Open the two sockets; -1 with errno set when one cannot be opened. Both
// need the capture privilege.
int openCapture();
int openIpv6Capture();

// Compiles a pcap-filter(7) expression for the handle's link type, for the
// sockets here and for a replayed file alike. False with the cause in why.
bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, char *why,
                   std::size_t size);

// The kernel filters for the two sockets, from one expression (or none)
// with tcpdump's meaning for raw IP of either version: ipv4 is expression
// alone (empty when none), ipv6 keeps TCP of what expression accepts. Needs
// no socket, so a bad expression is found before anything is opened. False
// with the cause in why.
bool compileSocketFilters(const char *expression, bpf_program &ipv4, bpf_program &ipv6, char *why,
                          std::size_t size);

// Lets only the datagrams the programs accept reach sock and sock6,
// filtered in the kernel; frees the programs. Needs no privilege. False
// with the cause in why.
bool attachFilters(bpf_program &ipv4, bpf_program &ipv6, char *why, std::size_t size);

// Keeps only what arrives on the named interface, on both sockets. Needs
// the capture privilege. False with errno set when it fails (ENODEV for an
// empty name, which the kernel would take as every interface; ENETDOWN for
// one that is down).
bool bindInterface(const char *name);
