#include "record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/uio.h>

bool inStream(record_kind kind)
{
    return kind == record_kind::datagram || kind == record_kind::skipped ||
           kind == record_kind::ended || kind == record_kind::failed || kind == record_kind::gone;
}

bool sendRecord(int channel, const record_header &header, const void *bytes)
{
    // writev: a message that carries no descriptor, whatever the sender.
    const iovec parts[] = {{const_cast<record_header *>(&header), sizeof header},
                           {const_cast<void *>(bytes), header.captured}};
    ssize_t sent;
    do
        sent = writev(channel, parts, header.captured > 0 ? 2 : 1);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof header + header.captured);
}

namespace
{

bool printable(const unsigned char *text, std::size_t length)
{
    for (std::size_t at = 0; at < length; ++at)
        if (text[at] < 0x20 || text[at] > 0x7E)
            return false;
    return true;
}

// The addresses come from a header that was held; the lengths are what
// the headers state, which a capture cut short may not hold.
bool summaryAgrees(const segment_summary &summary, std::uint32_t captured)
{
    const bool family = summary.family == 0 || (summary.family == 4 && captured >= 20) ||
                        (summary.family == 6 && captured >= 40);
    // A bad header length is an IPv4 one under 20 bytes; a bad total
    // length one under the header's.
    const bool header = summary.shape != segment_shape::bad_hlen ||
                        (summary.family == 4 && summary.ip_header_length < 20);
    const bool length = summary.shape != segment_shape::bad_len ||
                        (summary.family == 4 && summary.ip_length < summary.ip_header_length);
    return family && header && length && summary.shape <= segment_shape::bad_len &&
           summary.has_ports <= 1 && summary.first_fragment <= 1 &&
           summary.payload <= summary.tcp_length && summary.tcp_length <= datagram_limit &&
           summary.header_length <= 60 && summary.fragment_length <= datagram_limit &&
           summary.fragment_offset <= 0xFFF8 && summary.ip_header_length <= 60 &&
           summary.missing <= datagram_limit;
}

} // namespace

bool checkRecord(const unsigned char *record, std::size_t size)
{
    record_header header;
    if (size < sizeof header)
        return false;
    std::memcpy(&header, record, sizeof header);
    if (header.captured > datagram_limit || size != sizeof header + header.captured ||
        header.nanoseconds >= 1000000000u)
        return false;
    const unsigned char *bytes = record + sizeof header;
    switch (header.kind) {
    case record_kind::datagram:
        if (header.length < 0)
            return header.length == -1 && header.captured == 0;
        return header.length <= static_cast<std::int32_t>(datagram_limit) &&
               header.captured == static_cast<std::uint32_t>(header.length) &&
               summaryAgrees(header.summary, header.captured);
    case record_kind::ready:
    case record_kind::counts:
    case record_kind::ended:
    case record_kind::skipped:
        return header.captured == 0;
    case record_kind::failed:
        return (header.status == 1 || header.status == 2) && printable(bytes, header.captured);
    case record_kind::gone:
        return printable(bytes, header.captured);
    case record_kind::refused:
        return header.captured == 0 && header.call >= 0;
    }
    return false;
}

const record_header *takeRecord(const unsigned char *message, std::size_t size, std::size_t &at)
{
    // Records start 8-aligned within a message received 8-aligned: the
    // header can be read where it lies.
    record_header header;
    if (at > size || size - at < sizeof header)
        return nullptr;
    std::memcpy(&header, message + at, sizeof header);
    const std::size_t whole = sizeof header + header.captured;
    if (header.captured > datagram_limit || whole > size - at || !checkRecord(message + at, whole))
        return nullptr;
    const auto *record = reinterpret_cast<const record_header *>(message + at);
    at += std::min(recordSpan(header.captured), size - at);
    return record;
}
