// Video: --video, what the window shows kept as a video file, which the
// encoder, skevla-encoder, writes. Frames come at a constant rate, each the
// picture as it stands at its instant: live by the wall clock; in a replay
// by the recorded time divided by its speed, whether or not the replay runs
// as fast as it can. A picture that stands still makes no new frame: the
// encoder is told the time moved on. Each frame is drawn off screen at the
// video's size and handed over; the viewer never waits for the encoder,
// but a replay takes no datagram while the encoder has no room for a
// frame, and a live frame it cannot take is left out and counted.
#pragma once

#include "failure.h"

#include <ctime>
#include <poll.h>

// Opens path (outputs.h) and starts the encoder for a video of width x
// height pixels at rate frames a second into it: before Landlock, whose
// domain it would inherit, and as the run's other files are opened. False
// with why.
bool startEncoder(const char *path, int width, int height, int rate, bool sandbox, failure &why);

// Has the encoder begin the file, which it leaves as it was until then,
// once nothing is left to refuse the run, and waits until it has. False
// with why.
bool beginVideo(failure &why);

// Once a GL context is current: the framebuffer frames are drawn in.
bool startFrames(failure &why);

bool videoOn();

// The video's time its frames have reached, in nanoseconds.
long long videoMade();

// The video's clock starts now: live, by the wall clock; else by the
// replay's recorded time, divided by speed.
void startVideoClock(long long now, bool live, double speed);

// A replay's speed changed, from now on.
void videoSpeed(double speed);

// The picture changed: the next frame shows it.
void videoChanged();

// A datagram is about to be shown, received or recorded at stamp: in a
// replay, the picture till then gets its frame, if one falls before it.
void videoBefore(const timespec &stamp);

// Live: when the next frame is due (-1 for none, the picture standing
// still); hands it over once it is.
long long videoDue();
void videoTick(long long now);

// The encoder's answers to wait for, and taking them; false with why once
// the encoder has failed.
void watchVideo(pollfd &wait_on);
bool answerVideo(failure &why);

// Whether the encoder has room for a frame now: a replay waits for it.
bool videoHasRoom();

// The end: the last frame, then the encoder finishes the file, which is
// waited for; a line says how many live frames were left out, if any.
// False with why when the encoder failed.
bool finishVideo(long long now, failure &why);
