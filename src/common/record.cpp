#include "record.h"

#include "picture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{

bool printable(const unsigned char *text, std::size_t length)
{
    for (std::size_t at = 0; at < length; ++at)
        if (text[at] < 0x20 || text[at] > 0x7E)
            return false;
    return true;
}

// The addresses come from a header that was captured; the lengths are what
// the headers state, which a capture cut short may not hold.
bool summaryAgrees(const segment_summary &summary, std::size_t captured)
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

// A datagram's length is what it carries, or -1 for a receive that failed
// and carries nothing; a stamp's fraction is less than a second.
bool datagramAgrees(const record_header &header)
{
    const auto &fields = fieldsOf<datagram_fields>(header);
    const std::size_t captured = countOf(header, sizeof fields);
    if (fields.nanoseconds >= 1000000000u || fields.offset < 0)
        return false;
    if (fields.length < 0)
        return fields.length == -1 && captured == 0;
    return static_cast<std::size_t>(fields.length) == captured &&
           summaryAgrees(fields.summary, captured);
}

// An offset into a capture is never negative.
template <typename Fields> bool offsetAgrees(const record_header &header)
{
    return fieldsOf<Fields>(header).offset >= 0;
}

bool failureAgrees(const record_header &header)
{
    const std::int32_t status = fieldsOf<failed_fields>(header).status;
    return status == 1 || status == 2;
}

bool callAgrees(const record_header &header) { return fieldsOf<refused_fields>(header).call >= 0; }

// What no window could be.
bool sizeAgrees(const record_header &header)
{
    const auto &size = fieldsOf<size_fields>(header);
    return size.width > 0 && size.width <= picture_side_limit && size.height > 0 &&
           size.height <= picture_side_limit;
}

constexpr std::uint8_t any_capture = capture_starting | capture_streaming | capture_over;

template <typename Fields> constexpr std::uint32_t size = sizeof(Fields);
template <> constexpr std::uint32_t size<no_fields> = 0;

constexpr std::uint32_t text = 4096; // a cause, which may quote a long filter

const kind_rule capture_rules[] = {
    {record_kind::ready, side::child, capture_starting, capture_streaming, size<ready_fields>, 0,
     false, false, nullptr},
    {record_kind::datagram, side::child, capture_streaming, 0, size<datagram_fields>,
     datagram_limit, false, false, datagramAgrees},
    {record_kind::skipped, side::child, capture_streaming, 0, size<stream_fields>, 0, false, false,
     nullptr},
    {record_kind::ended, side::child, capture_streaming, capture_over, size<stream_fields>, 0,
     false, false, nullptr},
    // Why it cannot start comes before ready.
    {record_kind::failed, side::child, capture_starting | capture_streaming, capture_over,
     size<failed_fields>, text, true, false, failureAgrees},
    {record_kind::gone, side::child, capture_streaming, capture_over, size<stream_fields>, text,
     true, false, nullptr},
    {record_kind::counts, side::child, any_capture, 0, size<stream_fields>, 0, false, false,
     nullptr},
    {record_kind::refused, side::child, any_capture, 0, size<refused_fields>, 0, false, false,
     callAgrees},
    {record_kind::next, side::viewer, capture_streaming, 0, size<next_fields>, 0, false, false,
     nullptr},
    {record_kind::ask_counts, side::viewer, capture_streaming, 0, 0, 0, false, false, nullptr},
    {record_kind::seek, side::viewer, capture_streaming | capture_over, 0, size<seek_fields>, 0,
     false, false, offsetAgrees<seek_fields>},
    {record_kind::landed, side::child, capture_streaming | capture_over, capture_streaming,
     size<landed_fields>, 0, false, false, offsetAgrees<landed_fields>},
};

const kind_rule keeper_rules[] = {
    {record_kind::limits, side::viewer, keeper_unlimited, keeper_serving, size<size_fields>, 0,
     false, false, sizeAgrees},
    {record_kind::picture, side::viewer, keeper_serving, 0, size<picture_fields>, 0, false, true,
     nullptr},
    {record_kind::done, side::child, keeper_serving, 0, 0, 0, false, false, nullptr},
};

const kind_rule encoder_rules[] = {
    {record_kind::begin, side::viewer, encoder_waiting, encoder_encoding, 0, 0, false, false,
     nullptr},
    {record_kind::frame, side::viewer, encoder_encoding, 0, size<frame_fields>, 0, false, true,
     nullptr},
    {record_kind::still, side::viewer, encoder_encoding, 0, size<still_fields>, 0, false, false,
     nullptr},
    {record_kind::started, side::child, encoder_encoding, 0, 0, 0, false, false, nullptr},
    {record_kind::done, side::child, encoder_encoding, 0, 0, 0, false, false, nullptr},
    {record_kind::failed, side::child, encoder_waiting | encoder_encoding, 0, size<failed_fields>,
     text, true, false, failureAgrees},
};

} // namespace

const channel_rules capture_channel = capture_rules;
const channel_rules keeper_channel = keeper_rules;
const channel_rules encoder_channel = encoder_rules;

const unsigned char *bytesOf(const record_header &header, std::size_t fields)
{
    return reinterpret_cast<const unsigned char *>(&header + 1) + fields;
}

std::size_t countOf(const record_header &header, std::size_t fields)
{
    return header.size - fields;
}

const record_header *takeRecord(channel_rules rules, side from, std::uint8_t &state,
                                const unsigned char *message, std::size_t size, std::size_t &at,
                                bool attached)
{
    // Records start 8-aligned within a message received 8-aligned: the
    // header and the fields can be read where they lie.
    record_header header;
    if (at > size || size - at < sizeof header || at % 8 != 0)
        return nullptr;
    std::memcpy(&header, message + at, sizeof header);
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](const kind_rule &one) {
        return one.kind == header.kind && one.from == from;
    });
    if (rule == rules.end() || !(rule->in & state) || header.size > size - at - sizeof header ||
        header.size < rule->fields || header.size - rule->fields > rule->most ||
        rule->attached != attached || (attached && (at != 0 || recordSpan(header.size) < size)))
        return nullptr;
    const auto *record = reinterpret_cast<const record_header *>(message + at);
    if ((rule->text && !printable(bytesOf(*record, rule->fields), header.size - rule->fields)) ||
        (rule->agrees && !rule->agrees(*record)))
        return nullptr;
    at += std::min(recordSpan(header.size), size - at);
    if (rule->becomes)
        state = rule->becomes;
    return record;
}

std::size_t putRecord(unsigned char *message, std::size_t at, record_kind kind, const void *fields,
                      std::size_t size, const void *bytes, std::size_t count)
{
    const record_header header{kind, static_cast<std::uint32_t>(size + count)};
    std::memcpy(message + at, &header, sizeof header);
    if (size > 0)
        std::memcpy(message + at + sizeof header, fields, size);
    if (count > 0)
        std::memcpy(message + at + sizeof header + size, bytes, count);
    const std::size_t end = at + sizeof header + size + count;
    const std::size_t span = recordSpan(size + count);
    std::memset(message + end, 0, at + span - end);
    return at + span;
}

bool sendRecord(int channel, record_kind kind, const void *fields, std::size_t size,
                const void *bytes, std::size_t count)
{
    const record_header header{kind, static_cast<std::uint32_t>(size + count)};
    const iovec parts[] = {{const_cast<record_header *>(&header), sizeof header},
                           {const_cast<void *>(fields), size},
                           {const_cast<void *>(bytes), count}};
    ssize_t sent;
    do
        sent = writev(channel, parts, 3);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof header + size + count);
}

long receiveMessage(int channel, unsigned char *into, std::size_t size, int &attached)
{
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))];
    iovec part{into, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // A sender that closed with answers unread resets the channel; what it
    // sent before is still there to read.
    ssize_t got;
    do
        got = recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && (errno == EINTR || errno == ECONNRESET));
    // One descriptor at most, and nothing else; any other is closed.
    attached = -1;
    bool unasked = false;
    for (cmsghdr *part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        const bool rights = part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_RIGHTS;
        for (std::size_t at = 0; rights && CMSG_LEN(at + sizeof(int)) <= part->cmsg_len;
             at += sizeof(int)) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(part) + at, sizeof fd);
            if (attached < 0 && at == 0) {
                attached = fd;
            } else {
                close(fd);
                unasked = true;
            }
        }
        unasked |= !rights;
    }
    if (got <= 0)
        return 0;
    if (unasked || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        if (attached >= 0)
            close(attached);
        attached = -1;
        return -1;
    }
    return got;
}
