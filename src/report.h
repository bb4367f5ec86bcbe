// Report: the log on standard output and the counts line on standard error.
#pragma once

#include <cstddef>
#include <netinet/in.h>

struct tally;

// The two log lines of one datagram; returns their length.
int formatLog(char *out, std::size_t size, int count, in_addr source);

// Writes text to standard output in one piece, unbuffered, so the log is
// live even when standard output is a pipe or a file. False once the reader
// has gone away.
bool writeLog(const char *text, std::size_t length);

// Logs one datagram (count -1 for a failed receive) and counts it. When
// the reader of the log has gone, asks the program to stop.
void logDatagram(int count, in_addr source);

// "skevla: N datagrams received, M dropped by the kernel", or for a replay
// "skevla: N datagrams received from FILE, K packets skipped", with a
// newline; returns its length.
int formatCounts(char *out, std::size_t size, const tally &seen);

// Writes the counts line of the run so far to standard error.
void reportCounts();
