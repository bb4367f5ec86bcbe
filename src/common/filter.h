// Filter: the -f expression compiled by libpcap with tcpdump's meaning,
// for the capture sockets and for every link type a capture file may have.
// Compiling reads /etc/services and /etc/protocols and may look names up,
// so each process does it with no privilege and before its box, and hands
// the programs to its capture as values.
#pragma once

#include "failure.h"

#include <cstddef>
#include <iterator>
#include <pcap/pcap.h>
#include <string>

// The largest packet libpcap knows of: a program's verdict is how much of
// a packet it keeps, so it must cover any.
inline constexpr int packet_limit = 262144;

// The link types a TCP datagram can be found in: Ethernet with VLAN tags,
// Linux cooked v1 and v2, raw IP of either or one version, BSD loopback.
inline constexpr int link_types[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                     DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
inline constexpr std::size_t link_type_count = std::size(link_types);

// For the capture socket, which hands over the IP header first: the program
// keeps the TCP of what expression (may be null: all TCP) accepts, of both
// families (raw IP programs test the version). False with why quoting the
// expression as it was typed; status 2.
bool compileForSockets(const char *expression, bpf_program &out, failure &why);

// For a capture file: the program for each link type, in link_types'
// order, and why the expression does not suit those it does not.
struct file_programs {
    bool filtering;
    bpf_program programs[link_type_count];
    std::string refusals[link_type_count];
};

// Compiles expression (may be null: no filter) for every link type, as
// tcpdump would for a file of that type: the file's own is judged once its
// header has been read. An expression that admits no TCP is refused for
// that type, as it is live.
void compileForFiles(const char *expression, file_programs &out);
