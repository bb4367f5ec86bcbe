// Channel: the viewer's one source of datagrams, the capture process at the
// other end of a socket pair. Datagrams come packed in messages, as many as
// the capture process has at once; the viewer asks for them as asking.h
// says and keeps what came in hand until it is shown, so the capture
// process takes from the kernel only what the viewer can take; the rest
// waits in the kernel's ring, and what does not fit is dropped and counted
// there. Every record is checked before use: the capture process parses
// hostile bytes. A replay's records are shown at their recorded pace
// (pace.h), which the channel keeps.
#pragma once

#include "failure.h"
#include "record.h"

#include <cstdint>
#include <ctime>
#include <poll.h>

struct options;

// The monotonic clock in nanoseconds, which due times are on.
long long monotonicNow();

// Told once, from the settings: a replay or live capture, how it is paced
// (at the recorded pace times -x, or with -t as fast as frames allow), and
// how many datagrams are wanted in all (-c).
void startChannel(const options &settings);

// Whether the channel serves a replay.
bool replaying();

// What the capture process said first, once the channel is readable:
// ready (boxed, and for a replay, the file's header read; the stream is
// then asked for), waiting (nothing that changes that: a refused call is
// kept for the report), or failed: it cannot start, or died, and why says
// so with the status. For start-up alone: it may wait a second for a
// capture process that died to end.
enum class start { ready, waiting, failed };
start takeStart(failure &why);

// The channel to wait on, and for what: nothing once the stream has ended.
void watchChannel(pollfd &wait_on);

// Which datagram may be taken now: none (paused, or the log's reader lags),
// the one in hand once it is due, or whatever its time (a step).
enum class taking { none, when_due, next };

// When the next record in hand is due, as take allows, in nanoseconds on the
// monotonic clock: a datagram when its time comes, anything else at once;
// -1 when there is none.
long long channelDue(taking take);

struct datagram {
    const unsigned char *bytes; // the IP header first
    std::int32_t length;        // as logged: -1 for a receive that failed
    timespec stamp;             // when it was received, or recorded
    segment_summary summary;
};

enum class event {
    none,     // nothing for the loop
    datagram, // one was taken
    landed,   // a replay moved as asked: replayPlace says where
    counted,  // the kernel's drops have come, as asked
    ended,    // the file has no more
    failed,   // the file cannot be read on: why says why
    gone,     // what it watched went away, or the capture process died or
              // sent damage: why says why
};

struct arrival {
    event what;
    datagram taken; // of event::datagram
    bool told;      // tallies are news from the capture process
    tallies told_now;
    timespec received; // when the record that told them was received, or recorded
};

// Reads what the channel has if the wait found it readable, then answers
// with the first thing in hand: an answer to askCounts, or the next record
// of the stream, a datagram only as take allows. Asks for another message
// for each place that has come free. Called again at once, it answers with
// the next. A capture process that died is waited for, a second at most,
// to say how: the run ends with it.
arrival grabPacket(bool readable, long long now, taking take, failure &why);

// Asks for the kernel's drops as they stand; grabPacket says when they have
// come. False when there is nothing to ask (a replay, an ended capture).
bool askCounts();

// A pause ended at now: the next record of a replay is due as long after
// now as it was recorded after the last one shown.
void resumeChannel(long long now);

// A replay's speed, times the recorded pace (-x, and the keys + and -,
// which change it from now on where the replay is paced), which its video
// keeps also at top speed; 0 when live. Whether the replay is paced.
double replaySpeed();
bool replayPaced();
void setReplaySpeed(double speed, long long now);

// At the end alone: the kernel's final drops, given those last told; it
// waits a second at most for them.
std::uint64_t finishChannel(std::uint64_t dropped);

// How far through its file a replay has read, from 0 to 1; -1 where the
// file has no size (a pipe).
double fileFraction();

// Where a replay is, as offsets into its capture (nanoseconds since its
// first record): the last datagram shown, or where it landed since.
struct replay_place {
    std::int64_t offset;
    std::int64_t length;   // the capture's span, -1 while not known (a pipe)
    std::int64_t from, to; // the part replayed (--from, --to); to -1 for its end
    bool seekable;         // a file, which can go back; a pipe only goes on
    bool moving;           // a move is on its way, to target
    std::int64_t target;
};
replay_place replayPlace();

// Asks the replay to move to an offset, kept within the part replayed,
// and grabPacket says when it has landed. A file's reader moves, and what
// was on its way before is passed over; a pipe is read on as it comes and
// what comes before the offset passed over here, so it cannot go back. A
// pipe that has ended, and a live capture, cannot move.
enum class jump { asked, cannot_go_back, none };
jump jumpTo(std::int64_t offset);
