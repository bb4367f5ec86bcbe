// Log: standard output, where the banner and each datagram's lines go.
// The loop queues the lines of many datagrams and writes them many a call,
// only when standard output can take some, so it never waits for a reader
// that has stopped reading; the queue knows which datagrams' lines are
// written whole, which is when they count as received.
#pragma once

#include "describe.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t log_limit = 256 * 1024;

struct log_queue {
    char text[log_limit];
    std::size_t start, end;        // of the text not yet written
    std::uint64_t queued, written; // bytes ever queued, ever written
    // Where each datagram's lines end, counted in bytes ever queued,
    // oldest first; a datagram's lines are longer than 16 bytes.
    std::uint64_t ends[log_limit / 16];
    std::size_t first, count;
};

// Queues one datagram's lines.
void queueLines(log_queue &log, const char *text, std::size_t length);
bool logQueued(const log_queue &log);

// Whether the queue has room for another datagram's lines.
bool logHasRoom(const log_queue &log);

enum class written { all, partly, reader_gone, failed };

// One write of the queued text to fd, for when it can take some without
// waiting; done counts the datagrams whose lines are now all written. On
// failed, errno tells why.
written writeQueued(log_queue &log, int fd, unsigned long &done);

// Gives standard output and error, where they are terminals or pipes,
// descriptions of their own that never block a write, so a reader that
// stops reading never stops the program; the shell's are left as they are.
void unblockOutput();

// Writes text to fd in full, waiting for its reader: for start-up and
// fatal messages. False with errno set when it cannot.
bool writeAll(int fd, const char *text, std::size_t length);

// The same on standard output: the banner and the usage text.
bool writeLog(const char *text, std::size_t length);
