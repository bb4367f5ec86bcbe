#include "summary.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace
{

constexpr std::size_t ipv4_header = 20, ipv6_header = 40, fragment_header = 8;
constexpr std::size_t tcp_header = 20;
constexpr unsigned char protocol_fragment = 44;

std::uint16_t big16(const unsigned char *at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

// The TCP part, from tcp_at on, in the order tcpdump reads it: ports, data
// offset, the rest of the fixed header, then whether the offset fits.
void summarizeTcp(const unsigned char *datagram, std::size_t held, std::size_t tcp_at,
                  std::uint32_t tcp_length, segment_summary &out)
{
    const std::size_t tcp_held = held > tcp_at ? held - tcp_at : 0;
    const unsigned char *tcp = datagram + tcp_at;
    out.tcp_length = tcp_length;
    out.shape = segment_shape::truncated;
    if (tcp_held < 4)
        return;
    out.has_ports = 1;
    out.source_port = big16(tcp);
    out.destination_port = big16(tcp + 2);
    if (tcp_held < 13)
        return;
    out.header_length = 4u * (tcp[12] >> 4u);
    if (out.header_length < tcp_header) {
        out.shape = segment_shape::too_short;
        return;
    }
    if (tcp_held < tcp_header)
        return;
    out.flags = tcp[13];
    if (out.header_length > tcp_length) {
        out.shape = segment_shape::too_long;
        return;
    }
    out.shape = segment_shape::segment;
    out.payload = tcp_length - out.header_length;
}

// A stated length of 0 comes from segmentation offload: what is held is
// the datagram.
std::uint32_t statedOr(std::size_t stated, std::size_t held)
{
    return static_cast<std::uint32_t>(stated != 0 ? stated : held);
}

} // namespace

segment_summary summarizeSegment(const unsigned char *datagram, std::size_t held)
{
    segment_summary out{};
    if (held >= ipv6_header && datagram[0] >> 4 == 6) {
        out.family = 6;
        std::memcpy(out.source, datagram + 8, 16);
        std::memcpy(out.destination, datagram + 24, 16);
        const std::uint32_t payload = statedOr(big16(datagram + 4), held - ipv6_header);
        if (datagram[6] != protocol_fragment) {
            summarizeTcp(datagram, held, ipv6_header, payload, out);
            return out;
        }
        if (held < ipv6_header + fragment_header || payload < fragment_header) {
            out.shape = segment_shape::truncated;
            return out;
        }
        out.fragment_offset = big16(datagram + ipv6_header + 2) & 0xFFF8u;
        out.fragment_length = payload - static_cast<std::uint32_t>(fragment_header);
        if (out.fragment_offset != 0) {
            out.shape = segment_shape::later_fragment;
            return out;
        }
        out.first_fragment = 1;
        summarizeTcp(datagram, held, ipv6_header + fragment_header, out.fragment_length, out);
    } else if (held >= ipv4_header && datagram[0] >> 4 == 4) {
        out.family = 4;
        std::memcpy(out.source, datagram + 12, 4);
        std::memcpy(out.destination, datagram + 16, 4);
        const std::size_t header = std::size_t{4} * (datagram[0] & 0x0Fu);
        const std::uint32_t total = statedOr(big16(datagram + 2), held);
        if ((big16(datagram + 6) & 0x1FFFu) != 0) {
            out.shape = segment_shape::later_fragment;
            return out;
        }
        summarizeTcp(datagram, held, header,
                     total > header ? total - static_cast<std::uint32_t>(header) : 0, out);
    }
    return out;
}
