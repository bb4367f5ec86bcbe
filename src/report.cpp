#include "report.h"

#include "frame.h"
#include "state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
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

namespace
{

// tcpdump's letters for TCP flags, in its order ("S.", "FP.", "none").
void tcpFlags(unsigned flags, char out[9])
{
    static const struct {
        unsigned bit;
        char letter;
    } order[] = {{0x01, 'F'}, {0x02, 'S'}, {0x04, 'R'}, {0x08, 'P'},
                 {0x10, '.'}, {0x20, 'U'}, {0x40, 'E'}, {0x80, 'W'}};
    std::size_t at = 0;
    for (const auto &flag : order)
        if (flags & flag.bit)
            out[at++] = flag.letter;
    out[at] = '\0';
    if (at == 0)
        std::strcpy(out, "none");
}

// "address.port", or the address alone where the ports were not captured.
void endpoint(char *out, std::size_t size, int family, const unsigned char *address, bool has_port,
              unsigned port)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, address, text, sizeof text);
    if (has_port)
        std::snprintf(out, size, "%s.%u", text, port);
    else
        std::snprintf(out, size, "%s", text);
}

// Both ends of a segment, as endpoint writes them.
void endpoints(const segment_summary &segment, char (&from)[64], char (&to)[64])
{
    endpoint(from, sizeof from, segment.family, segment.source, segment.has_ports,
             segment.source_port);
    endpoint(to, sizeof to, segment.family, segment.destination, segment.has_ports,
             segment.destination_port);
}

} // namespace

int formatOneLine(char *out, std::size_t size, const segment_summary &segment, const timeval &stamp)
{
    tm local{};
    const time_t seconds = stamp.tv_sec;
    localtime_r(&seconds, &local);
    char from[64], to[64], flags[9];
    endpoints(segment, from, to);
    const char *version = segment.family == AF_INET6 ? "IP6" : "IP";
    if (!segment.has_ports)
        return std::snprintf(out, size, "%02d:%02d:%02d.%06ld %s %s > %s: tcp [|tcp]\n",
                             local.tm_hour, local.tm_min, local.tm_sec,
                             static_cast<long>(stamp.tv_usec), version, from, to);
    tcpFlags(segment.flags, flags);
    return std::snprintf(out, size, "%02d:%02d:%02d.%06ld %s %s > %s: Flags [%s], length %ld\n",
                         local.tm_hour, local.tm_min, local.tm_sec,
                         static_cast<long>(stamp.tv_usec), version, from, to, flags,
                         segment.payload);
}

int formatInfo(char *out, std::size_t size, unsigned long number, int length,
               const segment_summary &segment, double per_second, unsigned long dropped)
{
    char from[64], to[64], flags[9];
    endpoints(segment, from, to);
    tcpFlags(segment.has_ports ? segment.flags : 0, flags);
    return std::snprintf(out, size, "#%lu %s %dB %s > %s [%s] %.0f/s drops %lu", number,
                         segment.family == AF_INET6 ? "IPv6" : "IPv4", length, from, to, flags,
                         per_second, dropped);
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
