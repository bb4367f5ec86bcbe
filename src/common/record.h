// Record: the one format of every channel between the viewer and a child,
// each a SOCK_SEQPACKET socket pair that keeps messages whole. A message is
// one record or, in the capture process's stream, as many as come at once,
// each 8-aligned: a header saying its kind and how many bytes follow, the
// kind's fields, then for some kinds bytes (a datagram) or a line of text.
// A picture comes with a memory file attached, from the viewer; nothing
// else carries a descriptor. Each channel has a table of the kinds each
// side may send, in which of the channel's states, and how large; whoever
// receives takes nothing from a record before takeRecord has checked it:
// the children parse hostile bytes, and a child trusts no caller either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

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
    // The capture channel. From the capture process: ready once, then the
    // stream (datagram, skipped, and last ended, failed or gone) in the
    // messages asked for, and at any time counts (an answer) and refused.
    ready = 1, // boxed, its input open: a file's size follows
    datagram,  // a TCP datagram: its fields, then its captured bytes
    counts,    // the answer to ask_counts
    ended,     // the capture file has no more
    failed,    // it cannot start or go on: the status, then the cause
    gone,      // the interface went down or away: the cause follows
    refused,   // its box refused the system call numbered call, and it dies
    skipped,   // a replay has passed over packets that are not TCP
    // To it, from the viewer.
    next,       // one more message of the stream, with at most datagrams datagrams
    ask_counts, // the kernel's drops as they stand now
    // The keeper's channel, from the viewer: limits once, then pictures.
    limits,  // the largest picture it may be asked for
    picture, // a picture, its pixels in the memory file attached
    // The encoder's, from the viewer: begin once, then frames and stills.
    begin, // nothing is left to refuse the run: the file may be written
    frame, // a frame, its pixels in the memory file attached
    // From the keeper or the encoder: done with each picture or frame;
    // the encoder says started once it has begun the file, or failed.
    done,
    started,
    still, // to the encoder: the picture stood still until pts
    // The capture channel again, for a replay of a file: the viewer asks
    // it to move (a jump), and in the stream it says where it went on.
    seek,   // to the reader: go on from an offset into the capture
    landed, // in the stream: what follows comes from there
};

struct record_header {
    record_kind kind;
    std::uint32_t size; // bytes that follow: the kind's fields, then its bytes or text
};

// What the capture process has counted so far, told with every record of
// the stream and in each answer.
struct tallies {
    std::uint64_t dropped;     // the kernel's drops, all told
    std::uint64_t skipped;     // packets of a capture file that are not TCP
    std::uint64_t file_read;   // bytes of a capture file read
    std::uint64_t passed;      // live: datagrams the kernel passed to the socket, dropped included
    std::uint64_t waiting;     // live: of those, not yet sent: in the kernel's ring, or held
    std::uint64_t passed_over; // packets of a capture file a jump or --from read past unshown
};

struct ready_fields {
    std::uint64_t file_size; // a capture file's, 0 for a pipe or the sockets
    std::int64_t length;     // a capture file's span in nanoseconds, -1 where not known
    std::int64_t from, to;   // the part of it replayed, as offsets (--from, --to; -1: its end)
};
struct datagram_fields {
    tallies told;
    std::int32_t length; // as logged, -1 for a failed receive
    std::uint32_t nanoseconds;
    std::int64_t seconds; // when the kernel received it, or when it was recorded
    std::int64_t offset;  // a replay's: nanoseconds since the capture's first record
    segment_summary summary;
};
struct stream_fields { // counts, ended, gone, skipped
    tallies told;
};
struct failed_fields {
    tallies told;
    std::int32_t status; // the exit status it implies, 1 or 2
    std::uint32_t unused;
};
struct refused_fields {
    std::int32_t call;
    std::uint32_t unused;
};
// seek: the first record at or after offset comes next.
struct seek_fields {
    std::int64_t offset;
};
// landed: the records that follow come from offset on (where none follow,
// the offset of the last).
struct landed_fields {
    tallies told;
    std::int64_t offset;
};
struct next_fields {
    std::uint32_t datagrams;
    std::uint32_t unused;
};
// limits: the window's size or the screen's, whichever is larger.
struct size_fields {
    std::uint32_t width, height;
};
// A picture to save: rows bottom first, as the GL reads them, RGB.
struct picture_fields {
    std::uint32_t width, height, copies, unused;
};
// A frame of the video: shown from pts (in frames of its rate) on. The
// frames between it and the one before repeat that one.
struct frame_fields {
    std::uint32_t width, height;
    std::int64_t pts;
};
// The video has reached pts with no new picture: the frames before it
// repeat the last one.
struct still_fields {
    std::int64_t pts;
};
struct no_fields {
};

// The largest message, which holds a record of every kind and size.
inline constexpr std::size_t message_limit = 128 * 1024;

// How much of a message a record takes whose fields and bytes that follow
// come to follows bytes, padding to the next one included.
inline constexpr std::size_t recordSpan(std::size_t follows)
{
    return (sizeof(record_header) + follows + 7) & ~std::size_t{7};
}
static_assert(message_limit >= recordSpan(sizeof(datagram_fields) + datagram_limit));

// Who sends a kind.
enum class side : std::uint8_t { viewer, child };

// What may come on a channel: for each kind, who sends it, in which of the
// channel's states (bits) and what it then becomes (0: the same), the size
// of its fields, the most bytes after them and whether they are text,
// whether a memory file comes with it, and the kind's own check of its
// fields, if any.
struct kind_rule {
    record_kind kind;
    side from;
    std::uint8_t in;
    std::uint8_t becomes;
    std::uint32_t fields;
    std::uint32_t most;
    bool text;
    bool attached;
    bool (*agrees)(const record_header &header);
};
using channel_rules = std::span<const kind_rule>;

// The capture channel's states: before ready, streaming, after the
// stream's end (which a replay's landed begins again).
inline constexpr std::uint8_t capture_starting = 1, capture_streaming = 2, capture_over = 4;
extern const channel_rules capture_channel;
// The keeper's: before its limits, then serving.
inline constexpr std::uint8_t keeper_unlimited = 1, keeper_serving = 2;
extern const channel_rules keeper_channel;
// The encoder's: waiting for the word to begin, then encoding.
inline constexpr std::uint8_t encoder_waiting = 1, encoder_encoding = 2;
extern const channel_rules encoder_channel;

// The record at offset at of a message of size bytes that from sent on a
// channel in state, checked against its rules, with at moved to the next
// one, and state to what the record makes it; nullptr where no record that
// may come lies there. A memory file was attached to the message, or not:
// a kind that comes with one comes alone. Pure.
const record_header *takeRecord(channel_rules rules, side from, std::uint8_t &state,
                                const unsigned char *message, std::size_t size, std::size_t &at,
                                bool attached = false);

// A record's fields, and the bytes or text after them.
template <typename Fields> const Fields &fieldsOf(const record_header &header)
{
    static_assert(alignof(Fields) <= 8);
    return *reinterpret_cast<const Fields *>(&header + 1);
}
const unsigned char *bytesOf(const record_header &header, std::size_t fields);
std::size_t countOf(const record_header &header, std::size_t fields);

// Puts a record into a message being packed at offset at, with room for
// it; returns the offset after it. The padding is zeroed.
std::size_t putRecord(unsigned char *message, std::size_t at, record_kind kind, const void *fields,
                      std::size_t size, const void *bytes = nullptr, std::size_t count = 0);

// Writes one record as a message of its own, with write(2): it can carry
// no descriptor, whoever sends it. False with errno set when the channel
// does not take it.
bool sendRecord(int channel, record_kind kind, const void *fields, std::size_t size,
                const void *bytes = nullptr, std::size_t count = 0);
template <typename Fields>
bool sendRecord(int channel, record_kind kind, const Fields &fields, const void *bytes = nullptr,
                std::size_t count = 0)
{
    if constexpr (std::is_empty_v<Fields>)
        return sendRecord(channel, kind, nullptr, 0, bytes, count);
    else
        return sendRecord(channel, kind, &fields, sizeof fields, bytes, count);
}

// Receives one message of at most size bytes into into, and the memory file
// attached to it, if any (-1): for the keeper and the encoder, whose
// channels carry pictures. Returns its size, 0 once the other side has
// gone, -1 for a message cut short or with anything else attached.
long receiveMessage(int channel, unsigned char *into, std::size_t size, int &attached);
