#include "frame.h"

#include <algorithm>
#include <cstdint>
#include <pcap/dlt.h>

namespace
{

constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint32_t family_inet = 2; // AF_INET on every BSD and on Linux

std::uint16_t big16(const unsigned char *at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t big32(const unsigned char *at)
{
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
}

bool isVlanTag(std::uint16_t type) { return type == 0x8100 || type == 0x88A8 || type == 0x9100; }

// Where the IPv4 header starts, or held when the link layer says it is not
// IPv4 (or is cut short).
std::size_t networkOffset(int link_type, const unsigned char *frame, std::size_t held)
{
    switch (link_type) {
    case DLT_EN10MB: {
        std::size_t type_at = 12;
        while (type_at + 2 <= held && isVlanTag(big16(frame + type_at)))
            type_at += 4;
        if (type_at + 2 > held || big16(frame + type_at) != ethertype_ipv4)
            return held;
        return type_at + 2;
    }
    case DLT_LINUX_SLL:
        return held >= 16 && big16(frame + 14) == ethertype_ipv4 ? 16 : held;
    case DLT_LINUX_SLL2:
        return held >= 20 && big16(frame) == ethertype_ipv4 ? 20 : held;
    case DLT_RAW:
    case DLT_IPV4:
        return 0;
    case DLT_NULL: {
        // In the byte order of the machine that wrote it, which may not be ours.
        if (held < 4)
            return held;
        const std::uint32_t family = big32(frame);
        return family == family_inet || family == family_inet << 24 ? 4 : held;
    }
    case DLT_LOOP:
        return held >= 4 && big32(frame) == family_inet ? 4 : held;
    default:
        return held;
    }
}

} // namespace

bool linkTypeSupported(int link_type)
{
    switch (link_type) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

bool decodeFrame(int link_type, const unsigned char *frame, std::size_t held, datagram_span &out)
{
    const std::size_t start = networkOffset(link_type, frame, held);
    if (start >= held || held - start < 20)
        return false;
    const unsigned char *header = frame + start;
    const std::size_t header_length = std::size_t{4} * (header[0] & 0x0Fu);
    constexpr unsigned char protocol_tcp = 6;
    if (header[0] >> 4 != 4 || header_length < 20 || header[9] != protocol_tcp)
        return false;
    const std::size_t available = std::min<std::size_t>(held - start, 65535);
    const std::size_t total = big16(header + 2);
    // A total length of 0 comes from segmentation offload: the frame is the
    // datagram. Less than the header is not a datagram at all.
    if (total != 0 && total < header_length)
        return false;
    out = {start, total == 0 ? available : std::min(total, available)};
    return true;
}
