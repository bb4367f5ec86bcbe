// Source: where datagrams come from, live from the socket or from a capture
// file. The loop waits on what a source names and takes one datagram at a
// time from it, never blocking, whichever kind it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/time.h>

struct datagram {
    const unsigned char *bytes; // the IP header first
    std::int32_t length;        // -1 for a receive that failed
    timeval stamp;              // when it was received, or recorded
};

// failed: the source cannot go on (a damaged file); gone: what it watched
// has gone away (an interface), and the counts so far are worth a line.
enum class arrival { datagram, none_yet, ended, failed, gone };

// A source waits on up to two descriptors (the live one has a socket per
// family).
using watched_pair = pollfd[2];

struct source {
    // Sets the descriptors to wait on for the next datagram (fd -1 for
    // none) and the events to wait for.
    void (*watch)(watched_pair &wait_on);
    // When the next datagram is due, in nanoseconds on the monotonic clock;
    // 0 for at once, -1 when only the descriptors can tell.
    long long (*due)();
    // Takes the next datagram if it is there and due by now. ready: what the
    // wait found on the descriptors, so one read of a ready one will not
    // block. On failed or gone, why holds the cause.
    arrival (*next)(const watched_pair &ready, long long now, datagram &taken, char *why,
                    std::size_t size);
    // The kernel's count of datagrams it dropped for want of room.
    unsigned long (*dropped)();
    // After a pause: the next datagram is due as long after now as it was
    // recorded after the last one shown.
    void (*resume)(long long now);
};

extern const source live_source; // the raw socket
extern const source file_source; // the capture file of openReplay
