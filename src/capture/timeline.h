// Timeline: where times are in a capture file, found by reading its record
// headers alone, never the packets: a mark every so many records, each
// saying where a record's step begins (input.h), how many records come
// before it, and the latest offset of any record before it. A jump reads
// on from the last mark before its time, so it costs a few records
// wherever it lands. Offsets are nanoseconds since the first record's
// stamp; a record stamped before it is at 0.
#pragma once

#include "input.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

struct mark {
    std::uint64_t at;      // the byte its step begins at
    std::uint64_t ordinal; // records before it
    std::int64_t before;   // the latest offset of those, -1 for none
};

// A pcapng interface's clock: stamps in units of 1/units of a second, plus
// offset seconds.
struct interface_clock {
    std::uint64_t units;
    std::int64_t offset;
};

// Where a reading of headers stands.
struct header_walk {
    framing reading;
    bool nano;          // pcap: stamps in nanoseconds
    bool opened;        // the file's header (pcapng: up to an interface) is behind
    std::uint64_t at;   // the next block or record
    std::uint64_t step; // where the next packet's step begins
    std::vector<interface_clock> interfaces;
    bool packets; // a packet has been read
    bool late;    // a section or an interface came after one
};

// What one block or record is, read from its first bytes.
struct header_seen {
    std::size_t need;   // more bytes are needed to tell (0: told)
    std::uint64_t size; // its whole length, header included
    bool packet;        // a record of a packet, stamped so
    timespec stamp;
    bool damaged;       // libpcap would refuse it: the walk ends here
    std::uint64_t step; // a packet's: where its step began
};

// Reads the block or record at walk.at from its first available bytes
// (up to 28, or a pcapng interface block whole) and moves walk.at past it.
// Pure.
header_seen readHeader(header_walk &walk, const unsigned char *bytes, std::size_t available);

struct timeline {
    std::vector<mark> marks;
    bool stamped;      // a record has been seen
    timespec first;    // the first record's stamp
    std::int64_t span; // the latest offset of any record
    std::uint64_t records;
    bool whole;  // the walk reached the file's end without damage
    bool direct; // a mark's step can be read on from with what libpcap knows at
                 // any other: one section, every interface before the first packet
};

// Nanoseconds from first to stamp, 0 for earlier, saturating. Pure.
std::int64_t offsetOf(const timespec &first, const timespec &stamp);

// One more record, whose step began at step: a mark every mark_every
// records. Pure.
inline constexpr std::uint64_t mark_every = 1024;
void addRecord(timeline &line, std::uint64_t step, const timespec &stamp);

// The last mark before offset: every record before it is earlier than
// offset. Pure.
const mark &markBefore(const timeline &line, std::int64_t offset);

// Reads the headers of the file open on fd, of size bytes, with pread:
// the whole timeline, as far as the file is sound.
timeline walkFile(int fd, std::uint64_t size);
