// Loop: the one place the program sleeps. GLUT's idle callback, idle, waits
// in one ppoll on the X connection, the signals, standard output (while it
// holds log lines the reader has not taken), standard error (while a
// counts line is posted), the channel, the encoder, and the time the next
// thing is due, then answers what woke it: signals first, then the log,
// then datagrams. It owns what the run does from frame to frame: the keys'
// state, the log's queue, the frame cap, the rate of the last second, the
// lag warning, and how the run ends.
#pragma once

#include "failure.h"

#include <cstddef>

struct options;

// Takes datagrams from the channel from now on, as settings ask (-v, -c,
// --fps), drawing them in a window or, with none, off screen for --video.
void startLoop(const options &settings, bool windowed);

// For start-up alone: waits for the capture process to be ready, answering
// the signals as the loop does. True once it is; false when it failed (why
// says so) or a signal ended the run (leaving()).
bool awaitCapture(failure &why);

// GLUT's idle callback, and the loop itself with no window: one wait and
// what follows from it.
void idle();

// The one way out: records why (nullptr for an end with status 0). In a
// callback, endIfLeft then finishes the video while its GL context is
// current and asks GLUT's loop to return.
void leave(const failure *why);
void leaveFailing(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
void endIfLeft();
bool leaving();
const failure &endedBy();

// What the keys ask for. Space: no datagram is taken while paused, and a
// replay's clock stands still; n and Right: one datagram while paused; i:
// the info line; + and -: a replay's speed times factor.
void togglePause();
bool paused();
void step();
void toggleInfo();
void changeSpeed(double factor);

// The keys that move a replay: Left, Right, Down and Up by so many
// nanoseconds from where it is; Home, the digits and End to a tenth of the
// part replayed (0 its start, 10 its end). Where it lands, the info line
// says for a while; paused, the picture there is shown.
void jumpBy(long long nanoseconds);
void jumpToTenth(int tenth);

// What the info line over the picture says, and whether it is shown.
bool infoShown();
std::size_t infoLine(char *out, std::size_t size);

// At the end: what the log still has queued, if standard output takes it
// without waiting; then the counts line, with the kernel's final drops, if
// standard error takes it without waiting.
void finishLog();
void writeCounts();
