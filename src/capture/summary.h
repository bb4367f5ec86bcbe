// Summary: what a TCP datagram's headers say, read once, as tcpdump reads
// them: an IPv4 header length under 5 or a total length under the header's
// ends the reading, a total length past the wire is bytes missing, a later
// fragment has no ports or flags, a data offset under 5 is a bad header
// length, a header cut short is cut short, and nothing past the stated
// length is read. Pure: no I/O, and every read is checked against the
// bytes captured.
#pragma once

#include "record.h"

#include <cstddef>

// Summarises a TCP datagram, IPv4 or IPv6, from its IP header on (as the
// sockets or a capture file hand it over). captured is what was captured
// of it, wire its length on the wire. Family 0, all else zero, when the
// bytes hold no whole IP header.
segment_summary summarizeSegment(const unsigned char *datagram, std::size_t captured,
                                 std::size_t wire);
