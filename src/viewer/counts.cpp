#include "counts.h"

#include "progress.h"
#include "state.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

struct posted_line {
    char text[counts_line_limit];
    std::size_t length;
    bool lost; // standard error refused one
};
posted_line posted;

} // namespace

namespace
{

// Text into a buffer, cut to fit, with nothing that could lock.
struct writer {
    char *out;
    std::size_t size, used;
};

void put(writer &to, const char *text)
{
    while (*text && to.used + 1 < to.size)
        to.out[to.used++] = *text++;
}

void putNumber(writer &to, unsigned long number)
{
    char digits[24], *first = digits + sizeof digits - 1;
    *first = '\0';
    do
        *--first = static_cast<char>('0' + number % 10);
    while ((number /= 10) != 0);
    put(to, first);
}

} // namespace

std::size_t formatCounts(char *out, std::size_t size, const tally &seen)
{
    writer to{out, size, 0};
    const unsigned long logged = seen.logged.load(std::memory_order_relaxed);
    put(to, "skevla: ");
    putNumber(to, logged);
    put(to, logged == 1 ? " datagram received" : " datagrams received");
    if (seen.file) {
        const unsigned long skipped = seen.skipped.load(std::memory_order_relaxed);
        put(to, " from ");
        put(to, seen.file);
        put(to, ", ");
        putNumber(to, skipped);
        put(to, skipped == 1 ? " packet skipped" : " packets skipped");
        if (const unsigned long passed_over = seen.passed_over.load(std::memory_order_relaxed)) {
            put(to, ", ");
            putNumber(to, passed_over);
            put(to, passed_over == 1 ? " packet passed over" : " packets passed over");
        }
        put(to, "\n");
    } else {
        // What the kernel passed and is neither logged nor dropped is still
        // on its way: in the kernel's ring, the capture process or the log.
        const unsigned long dropped = seen.dropped.load(std::memory_order_relaxed);
        const unsigned long passed = seen.passed.load(std::memory_order_relaxed);
        if (passed > logged + dropped) {
            put(to, ", ");
            putNumber(to, passed - logged - dropped);
            put(to, " not yet taken");
        }
        put(to, ", ");
        putNumber(to, dropped);
        put(to, " dropped by the kernel\n");
    }
    // Cut short, it still ends its line.
    if (to.used > 0)
        to.out[to.used - 1] = '\n';
    to.out[to.used] = '\0';
    return to.used;
}

void postCounts(const tally &seen)
{
    // The latest counts supersede any still posted.
    posted.length = formatCounts(posted.text, sizeof posted.text, seen);
}

bool countsPosted() { return posted.length > 0; }

void deliverCounts()
{
    if (posted.length > 0)
        clearProgress();
    // A line shorter than PIPE_BUF goes into a pipe whole or not at all.
    const ssize_t count = write(STDERR_FILENO, posted.text, posted.length);
    if (count > 0) {
        posted.length -= static_cast<std::size_t>(count);
        std::memmove(posted.text, posted.text + count, posted.length);
    } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
        posted.length = 0;
        posted.lost = true;
    }
}

bool countsLost() { return posted.lost; }
