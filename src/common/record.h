// Record: the one format of the channel between the capture process and
// the viewer, a SOCK_SEQPACKET socket pair that keeps one message per
// record. The capture process sends a fixed header, then the datagram's
// captured bytes (or a line of text); the viewer asks with a request. The
// capture process parses hostile bytes, so the viewer takes nothing from a
// record before checkRecord has passed it.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest datagram shown; IPv6 ones beyond it are cut to it.
inline constexpr std::size_t datagram_limit = 65535;

// What a TCP datagram's headers allow tcpdump to print of its TCP part.
enum class segment_shape : std::uint8_t {
    segment,        // ports, flags and the payload length
    too_short,      // a data offset under 5
    too_long,       // a data offset past the TCP length
    truncated,      // the TCP header is cut short (ports only if has_ports)
    later_fragment, // a fragment past the first: no TCP header at all
    bad_hlen,       // an IPv4 header length under 20: nothing past it is read
    bad_len,        // an IPv4 total length under its header length: nothing past it is read
};

// What the one-line log and the info line tell of a datagram, made once by
// the capture process from the headers.
struct segment_summary {
    std::uint8_t family; // 4 or 6; 0 when no IP header could be read
    segment_shape shape;
    std::uint8_t has_ports;
    std::uint8_t first_fragment;   // IPv6: a fragment header with offset 0 comes first
    std::uint8_t flags;            // FIN 0x01 to CWR 0x80
    std::uint8_t ip_header_length; // IPv4: as its IHL states it, in bytes
    std::uint16_t ip_length;       // IPv4: the total length it states
    std::uint8_t source[16], destination[16];
    std::uint16_t source_port, destination_port;
    std::uint32_t payload;         // segment: the TCP payload length the headers state
    std::uint32_t tcp_length;      // the TCP length they state
    std::uint32_t header_length;   // the TCP header length its data offset states
    std::uint32_t fragment_offset; // IPv6 fragments, in bytes
    std::uint32_t fragment_length;
    std::uint32_t missing; // IPv4: what its total length states past the length on the wire
};

enum class record_kind : std::uint32_t {
    ready = 1, // the capture process is boxed and reads its input
    datagram,  // a TCP datagram: its summary, then its captured bytes
    counts,    // the answer to request_kind::counts, or a replay's skipped count
    ended,     // the capture file has no more
    failed,    // it cannot go on: status says with what, the cause follows
    gone,      // the interface went down or away: the cause follows
    refused,   // its sandbox refused the system call numbered call
};

struct record_header {
    record_kind kind;
    std::int32_t length;    // datagram: as logged, -1 for a failed receive
    std::uint32_t captured; // bytes that follow the header
    std::int32_t status;    // failed: the exit status it implies, 1 or 2
    std::int32_t call;      // refused: the system call's number
    std::uint32_t nanoseconds;
    std::int64_t seconds;  // when the kernel received it, or when it was recorded
    std::uint64_t dropped; // the kernel's drops as last seen, for the sockets
    std::uint64_t skipped; // packets of a capture file that are not TCP, so far
    segment_summary summary;
};

inline constexpr std::size_t record_limit = sizeof(record_header) + datagram_limit;

enum class request_kind : std::uint32_t {
    next = 1, // one datagram, or the end
    counts,   // the kernel's drops as they stand now
};

// Writes one record with its trailing bytes to the channel. False with errno
// set when the channel does not take it.
bool sendRecord(int channel, const record_header &header, const void *bytes);

// Whether a message of size bytes, as received, is a record the viewer can
// use: a known kind, its size what the header says, lengths within the
// datagram limit, a summary that agrees with the length, text that is
// printable. Pure.
bool checkRecord(const unsigned char *message, std::size_t size);
