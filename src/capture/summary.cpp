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
void summarizeTcp(captured_bytes datagram, std::size_t tcp_at, std::uint32_t tcp_length,
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
    if (!within(datagram, tcp_at, tcp_header) || !read8(datagram, tcp_at + 13, out.flags))
        return;
    if (out.header_length > tcp_length) {
        out.shape = segment_shape::too_long;
        return;
    }
    out.shape = segment_shape::segment;
    out.payload = tcp_length - out.header_length;
}

} // namespace

segment_summary summarizeSegment(const unsigned char *datagram, std::size_t captured,
                                 std::size_t wire)
{
    segment_summary out{};
    ip_header ip;
    if (!readIp({datagram, captured}, ip))
        return out;
    out.family = static_cast<std::uint8_t>(ip.version);
    std::memcpy(out.source, ip.source, sizeof out.source);
    std::memcpy(out.destination, ip.destination, sizeof out.destination);
    const ip_extent extent = extentOf(ip, captured);
    if (ip.version == 4) {
        out.ip_header_length = static_cast<std::uint8_t>(ip.header_length);
        out.ip_length = static_cast<std::uint16_t>(ip.stated);
        // tcpdump reads nothing past a header length shorter than the fixed
        // header, or a total length shorter than the header, and neither
        // does this.
        if (ip.header_length < ipv4_header || extent.bad_length) {
            out.shape = extent.bad_length ? segment_shape::bad_len : segment_shape::bad_hlen;
            return out;
        }
        // What was captured was on the wire, whatever a capture file says.
        wire = std::max(wire, captured);
        if (ip.stated > wire)
            out.missing = static_cast<std::uint32_t>(ip.stated - wire);
    }
    // Nothing past what the header accounts for is read.
    const captured_bytes stated{datagram, std::min(captured, extent.end)};
    const auto header = static_cast<std::uint32_t>(ip.header_length);
    const std::uint32_t after_header =
        extent.end > header ? static_cast<std::uint32_t>(extent.end) - header : 0;
    if (ip.version == 4 && ip.later_fragment) {
        out.shape = segment_shape::later_fragment;
        return out;
    }
    if (!ip.fragment_header) {
        summarizeTcp(stated, ip.transport, after_header, out);
        return out;
    }
    if (!within(stated, 0, ip.transport)) {
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
