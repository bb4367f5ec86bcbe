// Record: the one format of the channel between the capture process and
// the viewer, a SOCK_SEQPACKET socket pair that keeps messages whole. A
// record is a fixed header, then the datagram's captured bytes (or a line
// of text); a message holds one record or, in the stream of datagrams, as
// many as come at once, each starting 8-aligned. The viewer asks with
// requests. The capture process parses hostile bytes, so the viewer takes
// nothing from a record before takeRecord has passed it.
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

// The stream's kinds (datagram, skipped, ended, failed once ready, gone)
// come in messages the viewer asked for, in order; the others each in a
// message of its own, at any time.
enum class record_kind : std::uint32_t {
    ready = 1, // the capture process is boxed and reads its input
    datagram,  // a TCP datagram: its summary, then its captured bytes
    counts,    // the answer to request_kind::counts
    ended,     // the capture file has no more
    failed,    // it cannot go on: status says with what, the cause follows
    gone,      // the interface went down or away: the cause follows
    refused,   // its sandbox refused the system call numbered call
    skipped,   // a replay has passed over packets that are not TCP: how many so far
};

struct record_header {
    record_kind kind;
    std::int32_t length;    // datagram: as logged, -1 for a failed receive
    std::uint32_t captured; // bytes that follow the header
    std::int32_t status;    // failed: the exit status it implies, 1 or 2
    std::int32_t call;      // refused: the system call's number
    std::uint32_t nanoseconds;
    std::int64_t seconds;    // when the kernel received it, or when it was recorded
    std::uint64_t dropped;   // the kernel's drops as last seen, for the sockets
    std::uint64_t skipped;   // packets of a capture file that are not TCP, so far
    std::uint64_t file_read; // bytes of a capture file read so far
    std::uint64_t file_size; // ready: a capture file's size, 0 for a pipe or the sockets
    segment_summary summary;
};

inline constexpr std::size_t record_limit = sizeof(record_header) + datagram_limit;

// The largest message, which holds a record of every size.
inline constexpr std::size_t message_limit = 128 * 1024;
static_assert(message_limit >= record_limit + 8);

// How much of a message a record takes, padding to the next one included.
inline constexpr std::size_t recordSpan(std::size_t captured)
{
    return (sizeof(record_header) + captured + 7) & ~std::size_t{7};
}

enum class request_kind : std::uint32_t {
    next = 1, // one more message of the stream, with at most datagrams datagrams
    counts,   // the kernel's drops as they stand now
};

struct request {
    request_kind kind;
    std::uint32_t datagrams;
};

// Whether a record of kind belongs to the stream, in messages asked for.
bool inStream(record_kind kind);

// Writes one record with its trailing bytes to the channel, as a message
// of its own. False with errno set when the channel does not take it.
bool sendRecord(int channel, const record_header &header, const void *bytes);

// Whether record, size bytes, is one the viewer can use: a known kind, its
// size what the header says, lengths within the datagram limit, a summary
// that agrees with the length, text that is printable. Pure.
bool checkRecord(const unsigned char *record, std::size_t size);

// The record at offset at of a message of size bytes, checked, with at
// moved to the next one; nullptr where no usable record lies there. Pure.
const record_header *takeRecord(const unsigned char *message, std::size_t size, std::size_t &at);
