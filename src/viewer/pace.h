// Pace: when a replay's next record is due, in nanoseconds on the
// monotonic clock. Records keep their recorded gaps, divided by the speed,
// counted from the moment the record before was actually shown: a picture
// shown late (a slow start, a stall, a pause) never makes the next ones
// early; they come later where frames cannot keep up. Pure.
#pragma once

#include <ctime>

inline constexpr long long nanoseconds_per_second = 1000000000;

struct pace {
    double speed = 1.0;   // -x, + and -: recorded gaps are divided by it
    bool started = false; // a record has been shown
    timespec last{};      // its stamp
    long long shown_at{}; // when it was shown, or the schedule restarted from it
};

// When a record stamped so is due, given the time now. The first record,
// one stamped before the last one shown, and one more than a day after it
// are due at once, so no stamp, however hostile, makes the arithmetic
// overflow or the replay wait for years.
long long dueTime(const pace &clock, const timespec &stamp, long long now);

// The record stamped so was shown at time at; or, after a pause or a
// change of speed, the schedule goes on from it as if it was shown then.
void shownAt(pace &clock, const timespec &stamp, long long at);
