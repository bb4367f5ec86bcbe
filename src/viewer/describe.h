// Describe: what the log and the info line say of a datagram, as text.
// Pure.
#pragma once

#include "record.h"

#include <cstddef>
#include <ctime>

struct shown_datagram;

// Room for one datagram's log lines, and for the info line.
inline constexpr std::size_t line_limit = 256;

// The two log lines of one datagram: count, and its sender as inet_ntop
// writes it (0.0.0.0 where no IP header could be read). Returns their
// length.
int formatLog(char *out, std::size_t size, int count, const segment_summary &segment);

// The one line of -v, in tcpdump's default form for the fields it shares:
// "HH:MM:SS.uuuuuu IP src.port > dst.port: Flags [S.], length N" (IP6 for
// IPv6), at the local time of stamp; fragments, bad header lengths and
// headers cut short as tcpdump words them. Returns its length.
int formatOneLine(char *out, std::size_t size, const segment_summary &segment,
                  const timespec &stamp);

// The info line over the picture: the datagram's number, family, length,
// ends, flags, the rate and the kernel's drops; a replay's speed (0 for
// none), where it is (place, or nullptr) and whether it is paused. Returns
// its length, at most size - 1.
std::size_t formatInfo(char *out, std::size_t size, const shown_datagram &datagram,
                       double per_second, unsigned long dropped, double speed, const char *place,
                       bool paused);

// Where a replay is: "0:01:30.0 of 0:30:00.0 (5%)", its offset, the end
// of the part replayed and how far through that part it is; the offset
// alone where the end is not known (-1). Returns its length.
std::size_t formatPlace(char *out, std::size_t size, std::int64_t offset, std::int64_t from,
                        std::int64_t end);
