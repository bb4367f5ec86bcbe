#include "summary.h"

#include "ip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace
{

constexpr std::size_t tcp_header = 20;

// The TCP part, from tcp_at on, in the order tcpdump reads it: ports, data
// offset, the rest of the fixed header, then whether the offset fits.
void summarizeTcp(held_bytes datagram, std::size_t tcp_at, std::uint32_t tcp_length,
                  segment_summary &out)
{
    out.tcp_length = tcp_length;
    out.shape = segment_shape::truncated;
    std::uint16_t source, destination;
    std::uint8_t offset;
    if (!read16(datagram, tcp_at, source) || !read16(datagram, tcp_at + 2, destination))
        return;
    out.has_ports = 1;
    out.source_port = source;
    out.destination_port = destination;
    if (!read8(datagram, tcp_at + 12, offset))
        return;
    out.header_length = 4u * (offset >> 4u);
    if (out.header_length < tcp_header) {
        out.shape = segment_shape::too_short;
        return;
    }
    if (!holds(datagram, tcp_at, tcp_header) || !read8(datagram, tcp_at + 13, out.flags))
        return;
    if (out.header_length > tcp_length) {
        out.shape = segment_shape::too_long;
        return;
    }
    out.shape = segment_shape::segment;
    out.payload = tcp_length - out.header_length;
}

} // namespace

segment_summary summarizeSegment(const unsigned char *datagram, std::size_t held, std::size_t wire)
{
    segment_summary out{};
    ip_header ip;
    if (!readIp({datagram, held}, ip))
        return out;
    out.family = static_cast<std::uint8_t>(ip.version);
    std::memcpy(out.source, ip.source, sizeof out.source);
    std::memcpy(out.destination, ip.destination, sizeof out.destination);
    if (ip.version == 4) {
        out.ip_header_length = static_cast<std::uint8_t>(ip.header_length);
        // tcpdump reads nothing past a header length shorter than the fixed
        // header, and neither does this.
        if (ip.header_length < ipv4_header) {
            out.shape = segment_shape::bad_hlen;
            return out;
        }
        // What was held was on the wire, whatever a capture file says.
        wire = std::max(wire, held);
        if (ip.stated > wire)
            out.missing = static_cast<std::uint32_t>(ip.stated - wire);
    }
    // A stated length of 0 comes from segmentation offload: what is held is
    // the datagram. But an IPv6 payload length of 0 with no jumbo option
    // (none can come before TCP or a fragment header) states no payload,
    // as tcpdump takes it. Nothing past the stated length is read.
    std::size_t total = statedOrFrame(ip, held);
    if (ip.version == 6 && ip.stated == 0)
        total = ipv6_header;
    const held_bytes stated{datagram, std::min(held, total)};
    const auto header = static_cast<std::uint32_t>(ip.header_length);
    const std::uint32_t after_header =
        total > header ? static_cast<std::uint32_t>(total) - header : 0;
    if (ip.version == 4 && ip.later_fragment) {
        out.shape = segment_shape::later_fragment;
        return out;
    }
    if (!ip.fragment_header) {
        summarizeTcp(stated, ip.transport, after_header, out);
        return out;
    }
    if (!holds(stated, 0, ip.transport)) {
        out.shape = segment_shape::truncated;
        return out;
    }
    out.fragment_offset = ip.fragment_offset;
    out.fragment_length = after_header - static_cast<std::uint32_t>(fragment_header);
    if (ip.later_fragment) {
        out.shape = segment_shape::later_fragment;
        return out;
    }
    out.first_fragment = 1;
    summarizeTcp(stated, ip.transport, out.fragment_length, out);
    return out;
}
