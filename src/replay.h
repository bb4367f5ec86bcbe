// Replay: a capture file read instead of the sockets, one TCP datagram
// (IPv4 or IPv6) per frame, at the recorded pace or as fast as frames allow. The file or
// pipe is read only when the wait says it has bytes, and libpcap is handed
// only whole records, so a pipe that goes quiet never blocks the program.
#pragma once

#include <cstddef>
#include <sys/time.h>

// Opens file ("-" for standard input) and applies filter (may be null) with
// tcpdump's meaning for the file's link type; reads as much as libpcap needs
// to know the file, waiting for it. Returns 0, or the exit status of the
// failure (1 for the file, 2 for the filter) with its cause in why. After
// it, file_source yields the datagrams.
int openReplay(const char *file, const char *filter, bool top_speed, char *why, std::size_t size);

// Closes the file and forgets it, so another can be opened.
void closeReplay();

// The recorded clock: a record is due as long after the one the clock was
// last set by as it was recorded after it.
struct pace {
    bool started;
    timeval base_stamp;  // the record the clock was set by
    long long base_time; // when it was shown, in nanoseconds
    timeval last_stamp;  // the record before this one
};

// When a record stamped so is due, given the clock's time now. The first
// record, one stamped before the record before it, and one more than a day
// after it are due at once and set the clock anew, so no stamp, however
// hostile, makes the arithmetic overflow or the replay wait for years.
long long dueTime(pace &clock, const timeval &stamp, long long now);
