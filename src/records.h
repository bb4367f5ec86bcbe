// Records: where the records of a pcap or pcapng stream end, so that a
// reader that must never block hands libpcap only bytes it already holds.
// Pure: no I/O, and every read is checked against the bytes held.
#pragma once

#include <cstddef>

// How a capture file lays out its records, read from its first bytes.
struct record_layout {
    bool pcapng;
    bool big_endian;
    std::size_t header; // a pcap record's header: 16 bytes, 24 in the modified format
};

// The layout of the file that starts with these bytes. False while fewer
// than 12 are held, or when they start no capture file.
bool readLayout(const unsigned char *start, std::size_t held, record_layout &layout);

// Whether the held bytes, from a record's start on, take libpcap through
// its next packet: pcapng puts blocks that describe interfaces and
// statistics between packets, and libpcap reads past them in one go. A
// record that libpcap refuses from its header alone (too long, too short)
// counts as held once its header is.
bool packetHeld(const record_layout &layout, const unsigned char *at, std::size_t held);
