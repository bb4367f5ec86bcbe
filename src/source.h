// Source: where datagrams come from, live from the socket or from a capture
// file. The loop waits on what a source names and takes one datagram at a
// time from it, never blocking, whichever kind it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct datagram {
    const unsigned char *bytes; // the IPv4 header first
    std::int32_t length;        // -1 for a receive that failed
    in_addr sender;
};

enum class arrival { datagram, none_yet, ended, failed };

struct source {
    // The descriptor to wait on for the next datagram, or -1.
    int (*descriptor)();
    // When the next datagram is due, in nanoseconds on the monotonic clock;
    // 0 for at once, -1 when only the descriptor can tell.
    long long (*due)();
    // Takes the next datagram if it is there and due by now. readable: the
    // wait found the descriptor ready, so one read will not block. On
    // failed, why holds the cause.
    arrival (*next)(bool readable, long long now, datagram &taken, char *why, std::size_t size);
    // The kernel's count of datagrams it dropped for want of room.
    unsigned long (*dropped)();
};

extern const source live_source; // the raw socket
extern const source file_source; // the capture file of openReplay
