// Tempo: the loop's small clocks, each a rule of its own. Pure: times are
// nanoseconds on the monotonic clock, passed in.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr long long nanoseconds_per_second = 1000000000;

// Datagrams shown lately, counted in tenths of a second, for the info line.
struct rate {
    long long slot;            // the tenth of a second of the latest count, since the clock's epoch
    unsigned long counted[10]; // shown in each of the last ten, slot's at slot % 10
};

// One more shown at time at.
void countShown(rate &seen, long long at);

// Shown in the second before time at.
unsigned long lastSecond(const rate &seen, long long at);

// --fps: a frame at most every interval, the latest datagram drawn when it
// comes (an interval of 0: a frame for each). Logging every datagram comes
// first: while more are in hand, a frame waits, a second at most, for the
// loop to catch up.
struct frame_cap {
    long long interval;
    long long next;  // when the next frame may be drawn
    long long drawn; // when the last one was
    bool wanted;     // a datagram shown waits for its frame
};

// A datagram was shown, or the picture is to be drawn again, at now, with
// more datagrams in hand (behind) or not: whether its frame is drawn now;
// else it waits until frameDue.
bool frameNow(frame_cap &cap, long long now, bool behind);

// When the frame that waits may be drawn, or -1 for none: behind, not
// before a second after the last, as what comes in hand wakes the loop
// anyway.
long long frameDue(const frame_cap &cap, bool behind);

// The warning that frames lag the traffic: the first time the kernel drops
// datagrams of a live run with no --fps while frames, not a pause or the
// log's reader, hold it back, once.
struct lag_watch {
    bool armed;         // a live run with no --fps
    bool told;          // said already
    bool excused;       // drops told from now on may be a pause's or the log reader's
    std::uint64_t seen; // the kernel's drops as the stream's records last told them
    timespec resumed;   // when a pause last ended, on the clock the kernel stamps datagrams with
};

// The stream's records told the kernel's drops as dropped, with a datagram
// received at received: whether the warning is to be said now. Drops told
// with what was received before a pause ended are the pause's; excused
// says whether a pause or the log's reader holds the run back now, which
// excuses the drops told next.
bool lagToTell(lag_watch &lag, std::uint64_t dropped, const timespec &received, bool excused);

// A pause or the log's reader holds the run back now: the drops told next
// are not the frames' doing.
void excuseLag(lag_watch &lag);
