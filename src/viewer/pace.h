// Pace: when a replay's next record is due, in nanoseconds on the
// monotonic clock. Records keep their recorded gaps, divided by the speed,
// counted from the moment the record before was actually shown: a picture
// shown late (a slow start, a stall, a pause) never makes the next ones
// early; they come later where frames cannot keep up. Pure.
#pragma once

#include "tempo.h"

#include <ctime>

struct pace {
    double speed = 1.0;   // -x, + and -: recorded gaps are divided by it
    bool started = false; // a record has been shown
    timespec last{};      // its stamp
    long long shown_at{}; // when it was shown, or the schedule restarted from it
};

// The one rule for the time between two stamps, for the pace and the
// video alike: the nanoseconds from one to the next, or -1 where none is
// kept, the next being stamped before, more than a day after, or so far
// that the distance does not fit, so no stamp, however hostile, makes the
// arithmetic overflow or the replay wait for years.
long long stampGap(const timespec &from, const timespec &to);

// When a record stamped so is due, given the time now. The first record,
// and one with no gap kept after the last one shown, are due at once.
long long dueTime(const pace &clock, const timespec &stamp, long long now);

// The record stamped so was shown at time at; or, after a pause or a
// change of speed, the schedule goes on from it as if it was shown then.
void shownAt(pace &clock, const timespec &stamp, long long at);
