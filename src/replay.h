// Replay: a capture file read instead of the socket, one IPv4 TCP datagram
// per frame, at the recorded pace or as fast as frames allow.
#pragma once

#include <cstddef>

// Opens file ("-" for standard input) and applies filter (may be null) with
// tcpdump's meaning for the file's link type. Returns 0, or the exit status
// of the failure (1 for the file, 2 for the filter) with its cause in why.
int openReplay(const char *file, const char *filter, bool top_speed, char *why, std::size_t size);

// One step of the replay, for the idle callback: shows the next datagram
// once it is due, serving the window meanwhile. At the end of the file it
// reports the counts and leaves the last picture up. Returns false with the
// cause in why when the file turns out damaged.
bool replayStep(char *why, std::size_t size);
