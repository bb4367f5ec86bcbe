// Frame: finding the IP datagram inside a link-layer frame of a capture
// file. Pure: no I/O, and every read is checked against the bytes held.
#pragma once

#include <cstddef>

// Where the datagram lies in the frame and how long it is: its IPv4 total
// length or IPv6 header and payload length, or what the frame holds where
// the capture cut it shorter or an IPv4 header length is under 20.
struct datagram_span {
    std::size_t offset;
    std::size_t length;
};

// Finds the TCP datagram, IPv4 or IPv6, in the held bytes of a frame. False
// for anything else (UDP, ARP, a frame too short for its IP header).
bool decodeFrame(int link_type, const unsigned char *frame, std::size_t held, datagram_span &out);
