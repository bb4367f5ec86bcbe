// Report: the log on standard output and the counts line on standard error.
#pragma once

#include "record.h"

#include <climits>
#include <cstddef>
#include <ctime>

struct shown_datagram;
struct tally;

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
// none) and whether it is paused. Returns its length, at most size - 1.
std::size_t formatInfo(char *out, std::size_t size, const shown_datagram &datagram,
                       double per_second, unsigned long dropped, double speed, bool paused);

// Gives standard output and error, where they are terminals or pipes,
// descriptions of their own that never block a write, so a reader that
// stops reading never stops the program; the shell's are left as they are.
void unblockOutput();

// Writes text to fd in full, waiting for its reader: for start-up and
// fatal messages. False with errno set when it cannot.
bool writeAll(int fd, const char *text, std::size_t length);

// The same on standard output: the banner and the usage text.
bool writeLog(const char *text, std::size_t length);

// The loop's log: each datagram's lines are queued, many datagrams' at
// once, until standard output takes them, so the loop writes many lines a
// call, only when standard output can take some, and never waits for a
// reader that has stopped reading.
void queueLog(const char *text, std::size_t length);
bool logQueued();

// Whether the queue has room for another datagram's lines.
bool logHasRoom();

enum class written { all, partly, reader_gone, failed };

// One write of the queued text, for when standard output can take some
// without waiting; done counts the datagrams whose lines are now all
// written. On failed, errno tells why.
written writeQueuedLog(unsigned long &done);

// Room for a counts line, a file name of PATH_MAX included.
inline constexpr std::size_t counts_line_limit = PATH_MAX + 128;

// "skevla: N datagrams received, M dropped by the kernel", or for a replay
// "skevla: N datagrams received from FILE, K packets skipped", with a
// newline; returns its length. Safe in a signal handler: it neither
// allocates nor locks.
std::size_t formatCounts(char *out, std::size_t size, const tally &seen);

// Posts the counts line of seen: it goes to standard error once that
// takes it without waiting (the loop waits for that with everything else);
// a later one replaces one still posted.
void postCounts(const tally &seen);
bool countsPosted();

// Writes what of the posted line standard error takes now. A standard
// error that fails (a full disk, a reader gone) will take none ever: the
// line is given up, and countsLost says so from then on.
void deliverCounts();
bool countsLost();
