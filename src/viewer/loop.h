// Loop: the one place the program sleeps. Each pass of the GLUT idle
// callback waits on the X connection, the signals, standard output (while
// it holds log lines the reader has not taken) and the channel, then
// answers what woke it: signals first, then the log, then one datagram.
#pragma once

#include "failure.h"

#include <cstdint>
#include <ctime>

struct options;

// Datagrams shown lately, counted in tenths of a second.
struct rate {
    long long slot;            // the tenth of a second of the latest count, since the clock's epoch
    unsigned long counted[10]; // shown in each of the last ten, slot's at slot % 10
};

// One more shown at time at.
void countShown(rate &seen, long long at);

// Shown in the second before time at. Pure.
unsigned long lastSecond(const rate &seen, long long at);

// The loop's state. The keys set the first fields; the loop keeps the
// rest.
struct loop_state {
    bool paused;         // Space: no datagram is taken, a replay's clock stands still
    bool stepping;       // n, Right: while paused, the next datagram is taken
    bool info;           // i: the info line is drawn over the picture
    double speed_change; // + and -: the loop multiplies a replay's speed by it, then sets 1

    bool live;                // capturing, not replaying a file
    bool windowed;            // drawing in a window, not off screen for --video alone
    bool one_line;            // -v
    unsigned long stop_after; // -c, 0 for never
    long long frame_interval; // --fps: nanoseconds between frames, 0 for a frame each datagram
    long long next_frame;     // when the next frame may be drawn
    bool frame_wanted;        // a datagram shown waits for its frame
    long long next_tick;      // when the info line's rate is drawn anew
    bool was_paused;          // as the last pass found it, to see a resume
    timespec resumed;         // when a pause last ended, on the kernel's clock for datagrams
    double speed;             // a replay's speed, for the info line; 0 for none
    rate shown_rate;
    bool counts_wanted;     // SIGUSR1 asked for the counts line, whose drops are on their way
    bool lag_excused;       // drops since the last report may be a pause's or the log reader's
    bool lag_told;          // the kernel's drops for want of frames were said
    std::uint64_t lag_seen; // the kernel's drops as the stream's records last told them
    bool queued_datagram;   // the queued log lines are a datagram's, received once written
    bool left;              // leave() was called
    failure ended_by;       // why, when it ended in failure (status 1)
};
extern loop_state loop;

// Takes datagrams from the channel from now on, logged as settings ask
// (-v, -c).
void startLoop(const options &settings);

// Before the window: waits for the capture process to be ready, answering
// the signals as the loop does. True once it is; false when it failed
// (why says so) or a signal ended the run (loop.left).
bool awaitCapture(failure &why);

// The GLUT idle callback: one wait and what follows from it.
void idle();

// The one way out of the loop: records why (nullptr for an end with status
// 0) and asks GLUT to return, once.
void leave(const failure *why);

// Writes what the log still has queued if standard output takes it
// without waiting; then the counts line, with the kernel's final drops, if
// standard error takes it without waiting.
void finishLog();
void writeCounts();
