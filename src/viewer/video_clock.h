// Video clock: which frames a video made of what the window shows gets, and
// when. The video has a frame at every 1/rate of its time: where the
// picture changed, the viewer hands over the picture as it stands at that
// instant; where it stood still, the encoder repeats the frame before.
// The video's time is, live, the monotonic clock's since the video's start;
// in a replay the recorded time, its gaps divided by the speed, whatever
// pace the replay itself goes at. A picture that stands still longer than
// still_limit keeps still_limit of it: the rest is left out of the video,
// so a quiet night costs what ten seconds do. Live, while the picture
// stands still, the encoder is told every second how far the video has
// come, so that a run cut off keeps all but its last second. Frames are
// numbered by their time (pts, in frames of the rate) and never go back.
// Pure: in 128 bits where 64 would overflow.
#pragma once

#include <ctime>

// The longest still stretch a video keeps, in nanoseconds.
inline constexpr long long still_limit = 10'000'000'000;

struct video_clock {
    int rate;            // frames a second
    bool live;           //
    long long start;     // live: the monotonic clock at the video's start
    long long cut;       // live: still time left out of the video so far
    bool stamped;        // a replay has shown a datagram
    timespec last_stamp; // its stamp
    long long time;      // a replay's video time at it, in nanoseconds
    long long shown_at;  // the video time the picture in hand was first shown at
    bool changed;        // the picture in hand has no frame yet
    long long next;      // the least pts the next frame may take: the video has
                         // every frame before it
};

video_clock startClock(int rate, bool live, long long now);

// The video's time at frame pts, in nanoseconds; and the time its frames
// have reached.
long long timeOfFrame(const video_clock &clock, long long pts);
long long videoMade(const video_clock &clock);

// The picture changed at now (a datagram live, a key, a resize): the next
// frame shows it.
void pictureMoved(video_clock &clock, long long now);

// A replay is about to show a datagram stamped so, at speed: the frame the
// picture in hand gets before it, if one falls before it, or -1. Then,
// once that frame is handed over, the datagram's picture is the one in
// hand.
long long frameBefore(video_clock &clock, const timespec &stamp, double speed);
void datagramShown(video_clock &clock);

// A replay jumped: the gap to the next datagram's stamp is not the
// recorded one; the picture in hand keeps a frame, and the video goes on
// after it.
void jumped(video_clock &clock);

// Live: when the clock next has something for the encoder, -1 for never:
// the frame of a picture that changed, or while it stands still, a second
// more of it, up to still_limit.
long long liveDue(const video_clock &clock);

// Live, at now: the frame due (a pts), or -1; and where none is, how far
// the still picture reaches once due (the pts the encoder is told the
// video has come to), or -1.
long long frameAt(const video_clock &clock, long long now);
long long stillAt(const video_clock &clock, long long now);

// The end: the last frame, at its time (the video lasts until it), or -1;
// and where none is, the pts a live video's still picture reaches, or -1.
long long lastFrame(const video_clock &clock, long long now);
long long lastStill(const video_clock &clock, long long now);

// The frame pts was handed over; the encoder was told the video reached
// pts.
void framed(video_clock &clock, long long pts);
void stillTold(video_clock &clock, long long pts);
