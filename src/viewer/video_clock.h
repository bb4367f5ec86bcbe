// Video clock: which frames a video made of what the window shows gets, and
// when. Frames come at rate a second, each the picture as it stands at its
// instant: live by the monotonic clock from the video's start; in a replay
// by the recorded time, its gaps divided by the speed, whatever pace the
// replay itself goes at. A picture that stands still makes no new frame:
// the encoder is told the time moved on. Frames are numbered by their time
// (pts, in frames of the rate) and never go back. Pure: in 128 bits where
// 64 would overflow, and a hostile capture's stamps cannot take it past
// what they hold.
#pragma once

#include <ctime>

struct video_clock {
    int rate;            // frames a second
    bool live;           //
    long long start;     // live: the monotonic clock at the video's start
    bool stamped;        // a replay has shown a datagram
    timespec last_stamp; // its stamp
    long long time;      // a replay's video time at it, in nanoseconds
    long long shown_at;  // the video time the picture in hand was first shown at
    bool changed;        // the picture in hand has no frame yet
    long long next;      // the least pts the next frame may take
};

video_clock startClock(int rate, bool live, long long now);

// The video's time at frame pts, in nanoseconds; and the time its frames
// have reached.
long long timeOfFrame(const video_clock &clock, long long pts);
long long videoMade(const video_clock &clock);

// The picture changed (a key, a resize): the next frame shows it.
void pictureMoved(video_clock &clock);

// A replay is about to show a datagram stamped so, at speed: the frame the
// picture in hand gets before it, if one falls before it, or -1. Then,
// once that frame is handed over, the datagram's picture is the one in
// hand.
long long frameBefore(video_clock &clock, const timespec &stamp, double speed);
void datagramShown(video_clock &clock);

// Live: when the next frame is due (-1 for none: the picture stands still),
// and the frame due at now, or -1.
long long liveDue(const video_clock &clock);
long long frameAt(const video_clock &clock, long long now);

// The end: the last frame, at its time (the video lasts until it), or -1.
long long lastFrame(const video_clock &clock, long long now);

// The frame pts was handed over.
void framed(video_clock &clock, long long pts);
