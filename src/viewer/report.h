// Report: the log on standard output and the counts line on standard error.
#pragma once

#include "record.h"

#include <cstddef>
#include <ctime>

struct tally;

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
// ends, flags, the rate and the kernel's drops. Returns its length.
int formatInfo(char *out, std::size_t size, unsigned long number, int length,
               const segment_summary &segment, double per_second, unsigned long dropped);

// Writes text to standard output in full, waiting for the reader: for the
// banner and the usage text, before the loop runs. False with errno set
// when it cannot.
bool writeLog(const char *text, std::size_t length);

// The loop's log: text is held until flushLog has written it, so the loop
// writes only when standard output can take it and never waits for a
// reader that has stopped reading.
void holdLog(const char *text, std::size_t length);
bool logHeld();

enum class flushed { all, partly, reader_gone, failed };

// One write of the held text, for when standard output can take some
// without waiting (the wait found it writable; a log line is shorter than
// PIPE_BUF). On failed, errno tells why.
flushed flushLog();

// "skevla: N datagrams received, M dropped by the kernel", or for a replay
// "skevla: N datagrams received from FILE, K packets skipped", with a
// newline; returns its length.
int formatCounts(char *out, std::size_t size, const tally &seen);

// Writes the counts line of seen to standard error.
void reportCounts(const tally &seen);
