#include "report.h"

#include "state.h"
#include "wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

int formatLog(char *out, std::size_t size, int count, in_addr source)
{
    return std::snprintf(out, size, "Bytes received --> %5d\nSource address --> %s\n", count,
                         inet_ntoa(source));
}

bool writeLog(const char *text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno != EPIPE; // other failures: nowhere to log to, keep drawing
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

void logDatagram(int count, in_addr source)
{
    char lines[128];
    const int length = formatLog(lines, sizeof lines, count, source);
    if (!writeLog(lines, static_cast<std::size_t>(length)))
        requestStop();
    else if (count >= 0)
        ++counts.received;
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

void reportCounts()
{
    char line[4200]; // room for a file name of PATH_MAX
    formatCounts(line, sizeof line, counts);
    std::fputs(line, stderr);
}
