// Channel: the viewer's one source of datagrams, the capture process at the
// other end of a socket pair. One datagram is asked for at a time and held
// until it is shown, so the capture process reads a socket only when the
// viewer can take what it reads; the rest waits in the kernel's queue, and
// what does not fit is dropped and counted there. Every record is checked
// before use: the capture process parses hostile bytes.
#pragma once

#include "record.h"

#include <cstddef>
#include <ctime>
#include <poll.h>
#include <sys/time.h>

// Waits for the capture process to say it is ready: boxed in, and for a
// replay, the file's header read; a replay's records then come at their
// recorded pace, or with top_speed as fast as frames allow. SIGUSR1 writes
// the counts meanwhile. Returns 0; -1 when SIGINT or SIGTERM came first; or
// the exit status of its failure with its cause in why.
int awaitCapture(bool top_speed, double speed, char *why, std::size_t size);

// The one descriptor of the channel to wait on, and for what.
void watchChannel(pollfd &wait_on);

// When the held datagram is due, in nanoseconds on the monotonic clock; 0
// for at once, -1 when none is held.
long long channelDue();

struct datagram {
    const unsigned char *bytes; // the IP header first
    std::int32_t length;        // -1 for a receive that failed
    timespec stamp;             // when it was received, or recorded
    segment_summary summary;
};

// datagram: one was taken; counted: the kernel's drops have come, as asked;
// ended: the file has no more; failed: the file cannot be read on; gone:
// what it watched went away, or the capture process died or sent damage,
// and the counts are worth a line. For the last two, why says why.
enum class arrival { datagram, none_yet, counted, ended, failed, gone };

// Reads what the channel holds if the wait found it readable, then takes
// the held datagram into taken if it is due by now (LLONG_MAX takes it
// whatever its time) and, if more are wanted, asks for the next.
arrival grabPacket(bool readable, long long now, bool more, datagram &taken, char *why,
                   std::size_t size);

// Asks for the kernel's drops as they stand; grabPacket says when they have
// come. False when there is nothing to ask (a replay, an ended capture):
// counts.dropped stands as it is.
bool askCounts();

// After a pause: the next datagram of a replay is due as long after now as
// it was recorded after the last one shown.
void resumeChannel(long long now);

// A replay's speed, times the recorded pace (-x, and the keys + and -),
// from now on; 0 when live or at top speed, where there is none.
double replaySpeed();
void setReplaySpeed(double speed, long long now);

// At the end: the kernel's final drops, with every datagram taken from it
// but never shown counted among them, waiting at most a second for them.
void finishChannel();

// The recorded clock: a record is due as long after the one the clock was
// last set by as it was recorded after it.
struct pace {
    bool started;
    timeval base_stamp;  // the record the clock was set by
    long long base_time; // when it was shown, in nanoseconds
    timeval last_stamp;  // the record before this one
    double speed = 1.0;  // -x: recorded gaps are divided by it
};

// When a record stamped so is due, given the clock's time now. The first
// record, one stamped before the record before it, and one more than a day
// after it are due at once and set the clock anew, so no stamp, however
// hostile, makes the arithmetic overflow or the replay wait for years.
long long dueTime(pace &clock, const timeval &stamp, long long now);
