// Sockets: live capture. What the host receives (-Q in, the default) comes
// through a raw IPv4 socket for TCP and, beside it, a packet socket for
// IPv6, which hands over each IPv6 packet from its header on (once: a
// socket bound to one protocol sees no outgoing copies). What it sends (-Q
// out), or both (-Q inout), comes through one packet socket for every
// protocol, whose kernel filter keeps IPv4 and IPv6 going the chosen way.
// Each datagram comes with the kernel's stamp and drop count.
#pragma once

#include "record.h"

#include <cstddef>
#include <pcap/pcap.h>
#include <poll.h>
#include <string>

// Compiles a pcap-filter(7) expression of any length for the handle's link
// type. False with the cause, the expression quoted whole, in why.
bool compileFilter(pcap_t *handle, const char *expression, bpf_program &program, std::string &why);

// The kernel filters for the two sockets, from one expression (or none)
// with tcpdump's meaning for raw IP of either version: ipv4 is expression
// alone (empty when none), ipv6 keeps TCP of what expression accepts. Needs
// no socket, so a bad expression is found before anything is opened. False
// with the cause in why.
bool compileSocketFilters(const char *expression, bpf_program &ipv4, bpf_program &ipv6,
                          std::string &why);

enum class direction { in, out, inout };

// Opens the sockets for that direction and, for a name, binds them to that
// interface. Needs the capture privilege. Returns 0, or the exit status of
// the failure (2 for an interface that does not exist) with the cause and
// remedy in why.
int openSockets(const char *interface, direction way, char *why, std::size_t size);

// Filters the sockets in the kernel with expression (or keeps all TCP)
// going that way, and asks for stamps and drop counts with every datagram.
// Needs no privilege. False with the cause in why.
bool prepareSockets(const char *expression, direction way, char *why, std::size_t size);

// The two sockets, to wait on for a datagram: two entries of wait_on.
void watchSockets(pollfd *wait_on);

enum class received { datagram, none, gone };

// Takes one datagram from a socket the wait found ready into into (at least
// datagram_limit bytes), filling header's length, stamp and drops. On
// gone, the interface went down or away, and why says which.
received receiveDatagram(const pollfd *ready, unsigned char *into, record_header &header, char *why,
                         std::size_t size);

// The kernel's count of datagrams it dropped for both sockets, as it
// stands.
unsigned long kernelDrops();
