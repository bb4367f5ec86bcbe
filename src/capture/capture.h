// Capture: what the two capture programs share, the live helper
// (helper.cpp) and the replay reader (reader.cpp). Each has its sockets or
// its file and nothing else, reads and decodes every untrusted byte inside
// its allowlist, and hands the viewer finished records over the channel,
// as many as it asks for. Its one wait is here, in serve: a source only
// reads what is there, and says what to wait on for more.
#pragma once

#include "boxes.h"
#include "failure.h"
#include "identity.h"
#include "record.h"

#include <cstddef>
#include <cstdint>
#include <span>

// What a source gives when asked for the next datagram.
enum class outcome {
    datagram, // one, in the found
    skipped,  // a packet of a file that is not a TCP datagram
    filtered, // a packet of a file that the filter passes over, unseen
    landed,   // a replay moved, as asked: what follows comes from taken.offset on
    waiting,  // nothing yet: more may come on its descriptor
    gone,     // the interface went down or away
    ended,    // the file has no more
    failed,   // the file cannot be read on
};

struct found {
    const unsigned char *bytes; // from the IP header on
    std::int32_t length;        // as logged: the datagram's length, -1 for a failed receive
    std::uint32_t captured;     // bytes captured of it
    std::uint32_t wire;         // its length on the wire, of which a file may have less
    std::int64_t seconds;       // when it was received, or recorded
    std::uint32_t nanoseconds;
    std::int64_t offset; // a replay's: since the capture's first record
};

// Where datagrams come from: the capture sockets or a capture file.
struct source {
    // The next datagram, never waiting for it; on gone and failed, why says
    // why.
    outcome (*next)(found &taken, failure &why);
    // What to wait on, readable, when it said waiting.
    int (*descriptor)();
    // What the kernel has counted for the sockets as it stands: datagrams
    // passed to them and dropped, all told, and those still in the ring;
    // nothing for a file.
    void (*count)(tallies &told);
    // Bytes of a file read so far; 0 for the sockets.
    std::uint64_t (*read)();
    std::uint64_t size; // a file's, when it has one
    // Bytes of datagrams it may hold while the viewer asks for none: the
    // ring's size for the sockets, 0 for a file, which waits.
    std::size_t (*holds)();
    // A replay's: how much of the capture it holds, as offsets (length -1
    // for not known, to -1 for its end), and a jump asked for, made when
    // next is called next; nullptr for the sockets, which cannot move.
    void (*span)(ready_fields &told);
    void (*move)(std::int64_t offset);
    // After the end: whether it waits to be moved back, rather than ending.
    bool (*stays)();
};

// What reading a socket or a file through libpcap, decoding, and writing
// the channel need, beside every child's base, and no more.
extern const std::span<const rule> capture_allowlist;

// Tells the viewer which call the box refused.
void reportRefused(int call);

// Tells the viewer why the capture cannot start, then ends with its
// status.
__attribute__((noreturn)) void failCapture(const failure &why);

// Tells the viewer it is ready, then answers it until it goes away or the
// input ends: datagrams packed in messages of as many as come at once, as
// many messages and datagrams as it asked for.
[[noreturn]] void serve(const source &input);
