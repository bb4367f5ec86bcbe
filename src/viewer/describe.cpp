#include "describe.h"

#include "clip.h"
#include "state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{

int familyOf(const segment_summary &segment) { return segment.family == 6 ? AF_INET6 : AF_INET; }

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

struct ends {
    char from[64], to[64];
};

// Both ends of a segment: "address.port", the port alone after an IPv6
// fragment header (as tcpdump prints it there), or the address alone
// where the ports were not captured.
ends endsOf(const segment_summary &segment, bool ports)
{
    ends out;
    char from[INET6_ADDRSTRLEN], to[INET6_ADDRSTRLEN];
    inet_ntop(familyOf(segment), segment.source, from, sizeof from);
    inet_ntop(familyOf(segment), segment.destination, to, sizeof to);
    const bool bare = segment.first_fragment;
    if (ports && segment.has_ports) {
        std::snprintf(out.from, sizeof out.from, "%s%s%u", bare ? "" : from, bare ? "" : ".",
                      segment.source_port);
        std::snprintf(out.to, sizeof out.to, "%s%s%u", bare ? "" : to, bare ? "" : ".",
                      segment.destination_port);
    } else {
        std::snprintf(out.from, sizeof out.from, "%s", from);
        std::snprintf(out.to, sizeof out.to, "%s", to);
    }
    return out;
}

// What tcpdump prints of a datagram after "IP " or "IP6 " and any warning
// on its length.
int describeContent(char *out, std::size_t size, const segment_summary &segment)
{
    const ends addresses = endsOf(segment, false), both = endsOf(segment, true);
    char flags[9];
    tcpFlags(segment.flags, flags);
    int used = 0;
    if (segment.first_fragment && segment.shape != segment_shape::later_fragment)
        used = std::snprintf(out, size, "%s > %s: frag (0|%u) ", addresses.from, addresses.to,
                             segment.fragment_length);
    char *rest = out + used;
    const std::size_t left = size > static_cast<std::size_t>(used) ? size - used : 0;
    switch (segment.shape) {
    case segment_shape::later_fragment:
        if (segment.family == 4)
            return std::snprintf(out, size, "%s > %s: ip-proto-6", addresses.from, addresses.to);
        return std::snprintf(out, size, "%s > %s: frag (%u|%u)", addresses.from, addresses.to,
                             segment.fragment_offset, segment.fragment_length);
    case segment_shape::truncated:
        return used + std::snprintf(rest, left, "%s > %s: %s[|tcp]", both.from, both.to,
                                    segment.has_ports ? " " : "");
    case segment_shape::too_short:
        return used + std::snprintf(rest, left,
                                    "%s > %s:  tcp %u [bad hdr length %u - too short, < 20]",
                                    both.from, both.to, segment.tcp_length - segment.header_length,
                                    segment.header_length);
    case segment_shape::too_long:
        return used +
               std::snprintf(rest, left, "%s > %s: Flags [%s] [bad hdr length %u - too long, > %u]",
                             both.from, both.to, flags, segment.header_length, segment.tcp_length);
    case segment_shape::bad_hlen:
        return std::snprintf(out, size, "bad-hlen %u", segment.ip_header_length);
    case segment_shape::bad_len:
        return std::snprintf(out, size, "bad-len %u", segment.ip_length);
    case segment_shape::segment:
        break;
    }
    return used + std::snprintf(rest, left, "%s > %s: Flags [%s], length %u", both.from, both.to,
                                flags, segment.payload);
}

// What tcpdump prints of a datagram after "IP " or "IP6 ".
int describeSegment(char *out, std::size_t size, const segment_summary &segment)
{
    if (segment.missing == 0)
        return describeContent(out, size, segment);
    const int used = std::snprintf(out, size, "truncated-ip - %u bytes missing! ", segment.missing);
    const std::size_t at = std::min(static_cast<std::size_t>(used), size);
    return used + describeContent(out + at, size - at, segment);
}

} // namespace

int formatLog(char *out, std::size_t size, int count, const segment_summary &segment)
{
    char address[INET6_ADDRSTRLEN];
    inet_ntop(familyOf(segment), segment.source, address, sizeof address);
    return std::snprintf(out, size, "Bytes received --> %5d\nSource address --> %s\n", count,
                         address);
}

int formatOneLine(char *out, std::size_t size, const segment_summary &segment,
                  const timespec &stamp)
{
    tm local{};
    const time_t seconds = stamp.tv_sec;
    localtime_r(&seconds, &local);
    char described[line_limit];
    describeSegment(described, sizeof described, segment);
    return std::snprintf(out, size, "%02d:%02d:%02d.%06ld %s %s\n", local.tm_hour, local.tm_min,
                         local.tm_sec, stamp.tv_nsec / 1000, segment.family == 6 ? "IP6" : "IP",
                         described);
}

std::size_t formatPlace(char *out, std::size_t size, std::int64_t offset, std::int64_t from,
                        std::int64_t end)
{
    char at[32], last[32];
    formatOffset(at, sizeof at, offset);
    if (end < 0)
        return std::min(static_cast<std::size_t>(std::max(std::snprintf(out, size, "%s", at), 0)),
                        size - 1);
    formatOffset(last, sizeof last, end);
    const double part = end > from ? static_cast<double>(std::clamp(offset, from, end) - from) /
                                         static_cast<double>(end - from)
                                   : 1.0;
    const int length =
        std::snprintf(out, size, "%s of %s (%d%%)", at, last, static_cast<int>(part * 100 + 1e-9));
    return std::min(static_cast<std::size_t>(std::max(length, 0)), size - 1);
}

std::size_t formatInfo(char *out, std::size_t size, const shown_datagram &datagram,
                       double per_second, unsigned long dropped, double speed, const char *place,
                       bool paused)
{
    const segment_summary &segment = datagram.summary;
    int length;
    if (datagram.length <= 0 || segment.family == 0) {
        length = std::snprintf(out, size, "#%lu drops\xA0%lu", datagram.number, dropped);
    } else {
        const bool flagged =
            segment.shape == segment_shape::segment || segment.shape == segment_shape::too_long;
        const ends both = endsOf(segment, segment.shape != segment_shape::later_fragment);
        char flags[16] = "[", *letters = flags + 1;
        tcpFlags(segment.flags, letters);
        std::strcat(flags, "]");
        char bad_length[16];
        if (segment.shape == segment_shape::bad_hlen || segment.shape == segment_shape::bad_len)
            describeContent(bad_length, sizeof bad_length, segment);
        const char *note =
            flagged                                          ? flags
            : segment.shape == segment_shape::later_fragment ? "fragment"
            : segment.shape == segment_shape::truncated      ? "[|tcp]"
            : segment.shape == segment_shape::bad_hlen || segment.shape == segment_shape::bad_len
                ? bad_length
                : "bad header length";
        // The bitmap font is Latin-1: 0xA0 (a space the line is never
        // wrapped at) keeps "drops" with its count.
        length = std::snprintf(out, size, "#%lu %s %dB %s > %s %s %.0f/s drops\xA0%lu",
                               datagram.number, segment.family == 6 ? "IPv6" : "IPv4",
                               datagram.length, both.from, both.to, note, per_second, dropped);
    }
    std::size_t used = std::min(static_cast<std::size_t>(std::max(length, 0)), size - 1);
    // 0xD7 is the multiplication sign.
    if (speed > 0)
        used += std::min(static_cast<std::size_t>(
                             std::max(std::snprintf(out + used, size - used, " \xD7%g", speed), 0)),
                         size - 1 - used);
    if (place)
        used += std::min(static_cast<std::size_t>(
                             std::max(std::snprintf(out + used, size - used, " %s", place), 0)),
                         size - 1 - used);
    if (paused)
        used += std::min(static_cast<std::size_t>(
                             std::max(std::snprintf(out + used, size - used, " paused"), 0)),
                         size - 1 - used);
    return used;
}
