// Frame: finding the IP datagram inside a link-layer frame of a capture
// file. Pure: no I/O, and every read is checked against the bytes captured.
#pragma once

#include <cstddef>

// Where the datagram lies in the frame and how long it is, as its header
// states it (extentOf).
struct datagram_span {
    std::size_t offset;
    std::size_t length;
};

// Finds the TCP datagram, IPv4 or IPv6, in the captured bytes of a frame.
// False for anything else (UDP, ARP, a frame too short for its IP header).
bool decodeFrame(int link_type, const unsigned char *frame, std::size_t captured,
                 datagram_span &out);
