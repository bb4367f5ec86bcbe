// Video: --video, what the window shows kept as a video file, which the
// encoder, skevla-encoder, writes. Which frames it gets, and when, is the
// video clock's (video_clock.h); this is the viewer's side of the encoder's
// channel. Each frame is drawn off screen at the video's size and handed
// over; the viewer never waits for the encoder but at the start and the
// end: a replay takes no datagram while the encoder has no room for a
// frame, and a live frame it cannot take is left out and counted.
#pragma once

#include "failure.h"

#include <ctime>
#include <poll.h>

struct options;

// Opens settings.video (outputs.h) and starts the encoder for a video of
// the window's size at --fps (30 without) frames a second into it: before
// Landlock, whose domain it would inherit, and as the run's other files
// are opened. False with why.
bool startEncoder(const options &settings, failure &why);

// Once a GL context is current: the framebuffer frames are drawn in; and
// once it has gone, no frame is drawn any more.
bool startFrames(failure &why);
void framesGone();

// For start-up alone: has the encoder begin the file, which it leaves as
// it was until then, once nothing is left to refuse the run, and waits
// until it has. False with why.
bool beginVideo(failure &why);

bool videoOn();

// The video's time its frames have reached, in nanoseconds.
long long videoMade();

// The video's clock starts now: live, by the monotonic clock; else by the
// replay's recorded time.
void startVideoClock(long long now, bool live);

// The picture changed at now: the next frame shows it.
void videoChanged(long long now);

// A datagram is about to be shown, received or recorded at stamp: in a
// replay at speed, the picture till then gets its frame, if one falls
// before it.
void videoBefore(const timespec &stamp, double speed);

// A replay jumped: the video goes on from the picture in hand, a frame
// later, never back.
void videoJumped();

// Live: when the next frame is due, or while the picture stands still,
// when the encoder is next told so (-1 for neither); hands either over
// once it is.
long long videoDue();
void videoTick(long long now);

// The encoder's answers to wait for, and taking them; false with why once
// the encoder has failed.
void watchVideo(pollfd &wait_on);
bool answerVideo(failure &why);

// Whether the encoder has room for a frame now: a replay waits for it.
bool videoHasRoom();

// For the end alone: the last frame, then the encoder finishes the file,
// which is waited for; a line says how many live frames were left out, if
// any. False with why when the encoder failed.
bool finishVideo(long long now, failure &why);
