#include "video_clock.h"

#include "pace.h"

#include <algorithm>
#include <climits>

namespace
{

// The longest video time: a hostile capture's gaps, each up to a day at
// the slowest speed, could otherwise add up past what 64 bits hold.
constexpr long long time_limit = LLONG_MAX / 2;

// The first pts at or after a video time, and the last at or before it.
long long ptsAtOrAfter(const video_clock &clock, long long time)
{
    return static_cast<long long>((__int128{time} * clock.rate + nanoseconds_per_second - 1) /
                                  nanoseconds_per_second);
}

long long ptsAt(const video_clock &clock, long long time)
{
    return static_cast<long long>(__int128{time} * clock.rate / nanoseconds_per_second);
}

// Live: the video's time at now, which stops at the still limit while the
// picture stands still.
long long liveTime(const video_clock &clock, long long now)
{
    return std::min(now - clock.start - clock.cut, clock.shown_at + still_limit);
}

// Live: how far a still picture reaches next: a second on, at most to its
// limit.
long long stillReach(const video_clock &clock)
{
    return std::min(clock.next + clock.rate, ptsAt(clock, clock.shown_at + still_limit));
}

} // namespace

video_clock startClock(int rate, bool live, long long now)
{
    video_clock clock{};
    clock.rate = rate;
    clock.live = live;
    clock.start = now;
    clock.changed = true;
    return clock;
}

long long timeOfFrame(const video_clock &clock, long long pts)
{
    return static_cast<long long>(__int128{pts} * nanoseconds_per_second / clock.rate);
}

long long videoMade(const video_clock &clock) { return timeOfFrame(clock, clock.next); }

void pictureMoved(video_clock &clock, long long now)
{
    if (clock.live) {
        // What a still stretch had past its limit is left out.
        const long long elapsed = now - clock.start - clock.cut;
        clock.cut += std::max(elapsed - clock.shown_at - still_limit, 0LL);
        clock.shown_at = liveTime(clock, now);
    }
    clock.changed = true;
}

long long frameBefore(video_clock &clock, const timespec &stamp, double speed)
{
    // As a replay is paced: a datagram with no gap kept is shown at once;
    // a gap is a still stretch, kept to its limit.
    if (const long long gap = clock.stamped ? stampGap(clock.last_stamp, stamp) : -1; gap > 0)
        clock.time = std::min(
            clock.time + static_cast<long long>(std::min(static_cast<double>(gap) / speed,
                                                         static_cast<double>(still_limit))),
            time_limit);
    clock.stamped = true;
    clock.last_stamp = stamp;
    // The picture in hand is seen at every frame from when it was first
    // shown until now: at the first of them, if any.
    const long long pts = std::max(clock.next, ptsAtOrAfter(clock, clock.shown_at));
    return clock.changed && timeOfFrame(clock, pts) < clock.time ? pts : -1;
}

void datagramShown(video_clock &clock)
{
    clock.shown_at = clock.time;
    clock.changed = true;
}

void jumped(video_clock &clock)
{
    clock.stamped = false;
    clock.time = std::min(clock.time + timeOfFrame(clock, 1), time_limit);
}

long long liveDue(const video_clock &clock)
{
    if (!clock.live)
        return -1;
    if (clock.changed)
        return clock.start + clock.cut + timeOfFrame(clock, clock.next);
    const long long reach = stillReach(clock);
    return reach > clock.next ? clock.start + clock.cut + timeOfFrame(clock, reach) : -1;
}

long long frameAt(const video_clock &clock, long long now)
{
    const long long due = liveDue(clock);
    return clock.changed && due >= 0 && now >= due ? ptsAt(clock, liveTime(clock, now)) : -1;
}

long long stillAt(const video_clock &clock, long long now)
{
    const long long due = liveDue(clock);
    return !clock.changed && due >= 0 && now >= due ? ptsAt(clock, liveTime(clock, now)) : -1;
}

long long lastFrame(const video_clock &clock, long long now)
{
    const long long pts = clock.live ? ptsAt(clock, liveTime(clock, now))
                                     : std::max(clock.next, ptsAtOrAfter(clock, clock.shown_at));
    return clock.changed ? std::max(pts, clock.next) : -1;
}

long long lastStill(const video_clock &clock, long long now)
{
    const long long pts = clock.live ? ptsAt(clock, liveTime(clock, now)) : -1;
    return !clock.changed && pts > clock.next ? pts : -1;
}

void framed(video_clock &clock, long long pts)
{
    clock.next = pts + 1;
    clock.changed = false;
}

void stillTold(video_clock &clock, long long pts) { clock.next = std::max(clock.next, pts); }
