#include "report.h"

#include "state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

char held[256]; // one datagram's lines at a time
std::size_t held_length;

} // namespace

int formatLog(char *out, std::size_t size, int count, int family, const unsigned char *sender)
{
    char address[INET6_ADDRSTRLEN];
    inet_ntop(family, sender, address, sizeof address);
    return std::snprintf(out, size, "Bytes received --> %5d\nSource address --> %s\n", count,
                         address);
}

bool writeLog(const char *text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

void holdLog(const char *text, std::size_t length)
{
    length = std::min(length, sizeof held - held_length);
    std::memcpy(held + held_length, text, length);
    held_length += length;
}

bool logHeld() { return held_length > 0; }

flushed flushLog()
{
    const ssize_t written = write(STDOUT_FILENO, held, held_length);
    if (written < 0) {
        if (errno == EINTR || errno == EAGAIN)
            return flushed::partly;
        return errno == EPIPE ? flushed::reader_gone : flushed::failed;
    }
    held_length -= static_cast<std::size_t>(written);
    std::memmove(held, held + written, held_length);
    return held_length == 0 ? flushed::all : flushed::partly;
}

int formatCounts(char *out, std::size_t size, const tally &seen)
{
    const char *datagrams = seen.received == 1 ? "datagram" : "datagrams";
    if (seen.file)
        return std::snprintf(out, size, "skevla: %lu %s received from %s, %lu %s skipped\n",
                             seen.received, datagrams, seen.file, seen.skipped,
                             seen.skipped == 1 ? "packet" : "packets");
    return std::snprintf(out, size, "skevla: %lu %s received, %lu dropped by the kernel\n",
                         seen.received, datagrams, seen.dropped);
}

void reportCounts(const tally &seen)
{
    char line[4200]; // room for a file name of PATH_MAX
    formatCounts(line, sizeof line, seen);
    std::fputs(line, stderr);
}
