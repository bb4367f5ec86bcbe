#include "frame.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <pcap/dlt.h>

namespace
{

constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint16_t ethertype_ipv6 = 0x86DD;
constexpr std::uint32_t family_inet = 2; // AF_INET on every BSD and on Linux
// AF_INET6 differs between the BSDs: NetBSD and OpenBSD, FreeBSD, macOS.
constexpr std::uint32_t families_inet6[] = {24, 28, 30};
constexpr std::size_t ipv4_header = 20;
constexpr std::size_t ipv6_header = 40;
constexpr unsigned char protocol_tcp = 6;

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

// The IP version an Ethernet type or a BSD address family names, or 0.
unsigned versionOfType(std::uint16_t type)
{
    return type == ethertype_ipv4 ? 4 : type == ethertype_ipv6 ? 6 : 0;
}

unsigned versionOfFamily(std::uint32_t family)
{
    if (family == family_inet)
        return 4;
    const bool inet6 = std::find(std::begin(families_inet6), std::end(families_inet6), family) !=
                       std::end(families_inet6);
    return inet6 ? 6 : 0;
}

std::uint32_t swapped(std::uint32_t value)
{
    return value >> 24 | (value >> 8 & 0xFF00) | (value << 8 & 0xFF0000) | value << 24;
}

// Where the IP header starts and the version the link layer says it has (0
// for raw IP, which may be either); held when the link layer says it is not
// IP (or is cut short).
std::size_t networkOffset(int link_type, const unsigned char *frame, std::size_t held,
                          unsigned &version)
{
    version = 0;
    switch (link_type) {
    case DLT_EN10MB: {
        std::size_t type_at = 12;
        while (type_at + 2 <= held && isVlanTag(big16(frame + type_at)))
            type_at += 4;
        if (type_at + 2 > held || (version = versionOfType(big16(frame + type_at))) == 0)
            return held;
        return type_at + 2;
    }
    case DLT_LINUX_SLL:
        return held >= 16 && (version = versionOfType(big16(frame + 14))) != 0 ? 16 : held;
    case DLT_LINUX_SLL2:
        return held >= 20 && (version = versionOfType(big16(frame))) != 0 ? 20 : held;
    case DLT_RAW:
        return 0;
    case DLT_IPV4:
        version = 4;
        return 0;
    case DLT_IPV6:
        version = 6;
        return 0;
    case DLT_NULL:
        // In the byte order of the machine that wrote it, which may not be ours.
        if (held < 4)
            return held;
        version = std::max(versionOfFamily(big32(frame)), versionOfFamily(swapped(big32(frame))));
        return version != 0 ? 4 : held;
    case DLT_LOOP:
        return held >= 4 && (version = versionOfFamily(big32(frame))) != 0 ? 4 : held;
    default:
        return held;
    }
}

// The datagram's length: what its header says, cut to what is held. A
// stated length of 0 comes from segmentation offload (or an IPv6
// jumbogram): the frame is the datagram. 0 for a length shorter than the
// header itself, which makes no datagram.
std::size_t datagramLength(std::size_t stated, std::size_t header, std::size_t available)
{
    if (stated == 0)
        return available;
    return stated < header ? 0 : std::min(stated, available);
}

// Whether an IPv6 packet carries TCP as tcpdump's "tcp" means it: next
// header 6, or a fragment header whose next header is 6.
bool ipv6CarriesTcp(const unsigned char *packet, std::size_t held)
{
    constexpr unsigned char fragment = 44;
    if (held < ipv6_header)
        return false;
    return packet[6] == protocol_tcp ||
           (packet[6] == fragment && held > ipv6_header && packet[ipv6_header] == protocol_tcp);
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
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

bool decodeFrame(int link_type, const unsigned char *frame, std::size_t held, datagram_span &out)
{
    unsigned version;
    const std::size_t start = networkOffset(link_type, frame, held, version);
    if (start >= held || (version != 0 && version != frame[start] >> 4u))
        return false;
    const unsigned char *header = frame + start;
    const std::size_t available = std::min<std::size_t>(held - start, 65535);
    std::size_t length = 0;
    switch (header[0] >> 4) {
    case 4: {
        const std::size_t header_length = std::size_t{4} * (header[0] & 0x0Fu);
        if (available < ipv4_header || header_length < ipv4_header || header[9] != protocol_tcp)
            return false;
        length = datagramLength(big16(header + 2), header_length, available);
        break;
    }
    case 6:
        if (!ipv6CarriesTcp(header, available))
            return false;
        length = datagramLength(big16(header + 4) == 0 ? 0 : ipv6_header + big16(header + 4),
                                ipv6_header, available);
        break;
    default:
        return false;
    }
    if (length == 0)
        return false;
    out = {start, length};
    return true;
}
