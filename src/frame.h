// Frame: finding the IP datagram inside a link-layer frame of a capture
// file, and reading what a datagram's headers say. Pure: no I/O, and
// every read is checked against the bytes held.
#pragma once

#include <cstddef>

// Where the datagram lies in the frame and how long it is: its IPv4 total
// length or IPv6 header and payload length, or what the frame holds where
// the capture cut it shorter.
struct datagram_span {
    std::size_t offset;
    std::size_t length;
};

// Whether frames of this link type (a DLT_ value) can be decoded: Ethernet
// with VLAN tags, Linux cooked v1 and v2, raw IP, BSD loopback.
bool linkTypeSupported(int link_type);

// Finds the TCP datagram, IPv4 or IPv6, in the held bytes of a frame. False
// for anything else (UDP, ARP, a frame too short for its IP header).
bool decodeFrame(int link_type, const unsigned char *frame, std::size_t held, datagram_span &out);

// What tcpdump's one line tells of a TCP segment, read from its datagram.
struct segment_summary {
    int family; // AF_INET or AF_INET6
    unsigned char source[16], destination[16];
    bool has_ports; // the TCP header's first 14 bytes are held
    unsigned source_port, destination_port;
    unsigned flags; // the TCP flag bits, FIN 0x01 to CWR 0x80
    long payload;   // the TCP payload length the headers state
};

// Summarises a TCP datagram, IPv4 or IPv6 (as decodeFrame or the sockets
// hand it over). False, with out all zero, when the bytes hold no whole IP
// header.
bool summarizeSegment(const unsigned char *datagram, std::size_t held, segment_summary &out);
