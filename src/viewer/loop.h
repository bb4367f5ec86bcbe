// Loop: the one place the program sleeps. Each pass of the GLUT idle
// callback waits on the X connection, the signals, standard output (while
// it holds log lines the reader has not taken) and the source, then answers
// what woke it: signals first, then the log, then one datagram.
#pragma once

struct options;

// Takes datagrams from the channel from now on, logged as settings ask
// (-v, -c), and answers the signals that signals.h catches.
void startLoop(const options &settings);

// The GLUT idle callback: one wait and what follows from it. Shows each
// datagram taken: into buffer, into the log, counted once the log has it,
// and a frame asked for.
void idle();

// Ends the loop with status 0 (Escape).
void stopLoop();

// The keys: Space pauses and resumes (no datagram is taken while paused, and
// a replay's recorded clock stands still); n takes one datagram while
// paused; i turns the info line over the picture on and off.
void togglePause();
// + and -: a replay twice or half as fast.
void changeSpeed(double times);
void stepOnce();
void toggleInfo();

// The cause when the loop ended in failure (status 1), else nullptr.
const char *loopFailure();

// Writes what the log still holds if standard output takes it without
// waiting; then the counts line, with the kernel's final drops, if standard
// error takes it without waiting.
void finishLog();
void writeCounts();
