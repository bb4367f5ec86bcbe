#include "frame.h"

#include "ip.h"

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

// The Ethernet type or BSD address family at offset, as an IP version (0
// for anything else or a frame cut before it).
unsigned typeAt(captured_bytes frame, std::size_t offset)
{
    std::uint16_t type = 0;
    read16(frame, offset, type);
    return versionOfType(type);
}

unsigned familyAt(captured_bytes frame, std::size_t offset, bool either_order)
{
    std::uint32_t family = 0;
    if (!read32(frame, offset, family))
        return 0;
    // In the byte order of the machine that wrote it, which may not be ours.
    return either_order ? std::max(versionOfFamily(family), versionOfFamily(swapped(family)))
                        : versionOfFamily(family);
}

// Where the IP header starts and the version the link layer says it has (0
// for raw IP, which may be either); the frame's size when the link layer
// says it is not IP (or is cut short).
std::size_t networkOffset(int link_type, captured_bytes frame, unsigned &version)
{
    const std::size_t none = frame.size;
    version = 0;
    switch (link_type) {
    case DLT_EN10MB: {
        std::size_t type_at = 12;
        for (std::uint16_t type; read16(frame, type_at, type) && isVlanTag(type);)
            type_at += 4;
        return (version = typeAt(frame, type_at)) != 0 ? type_at + 2 : none;
    }
    case DLT_LINUX_SLL:
        return within(frame, 0, 16) && (version = typeAt(frame, 14)) != 0 ? 16 : none;
    case DLT_LINUX_SLL2:
        return within(frame, 0, 20) && (version = typeAt(frame, 0)) != 0 ? 20 : none;
    case DLT_RAW:
        return 0;
    case DLT_IPV4:
        version = 4;
        return 0;
    case DLT_IPV6:
        version = 6;
        return 0;
    case DLT_NULL:
        return (version = familyAt(frame, 0, true)) != 0 ? 4 : none;
    case DLT_LOOP:
        return (version = familyAt(frame, 0, false)) != 0 ? 4 : none;
    default:
        return none;
    }
}

} // namespace

bool decodeFrame(int link_type, const unsigned char *frame, std::size_t captured,
                 datagram_span &out)
{
    unsigned version;
    const std::size_t start = networkOffset(link_type, {frame, captured}, version);
    if (start >= captured)
        return false;
    const captured_bytes packet{frame + start, std::min<std::size_t>(captured - start, 65535)};
    ip_header ip;
    // As tcpdump's "tcp" means it: IPv6 next header 6, or a fragment header
    // whose next header is 6.
    if (!readIp(packet, ip) || (version != 0 && ip.version != version) ||
        ip.protocol != protocol_tcp)
        return false;
    out = {start, extentOf(ip, packet.size).length};
    return true;
}
