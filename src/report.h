// Report: the log on standard output and the counts line on standard error.
#pragma once

#include <cstddef>
#include <netinet/in.h>

struct tally;

// The two log lines of one datagram from sender, an address of family
// (AF_INET or AF_INET6) written as inet_ntop writes it; returns their length.
int formatLog(char *out, std::size_t size, int count, int family, const unsigned char *sender);

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
