#include "ip.h"

#include <algorithm>
#include <cstring>

bool within(captured_bytes bytes, std::size_t offset, std::size_t count)
{
    return offset <= bytes.size && count <= bytes.size - offset;
}

bool read8(captured_bytes bytes, std::size_t offset, std::uint8_t &out)
{
    if (!within(bytes, offset, 1))
        return false;
    out = bytes.data[offset];
    return true;
}

bool read16(captured_bytes bytes, std::size_t offset, std::uint16_t &out)
{
    if (!within(bytes, offset, 2))
        return false;
    const unsigned char *at = bytes.data + offset;
    out = static_cast<std::uint16_t>(at[0] << 8 | at[1]);
    return true;
}

bool read32(captured_bytes bytes, std::size_t offset, std::uint32_t &out)
{
    if (!within(bytes, offset, 4))
        return false;
    const unsigned char *at = bytes.data + offset;
    out =
        std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
    return true;
}

bool readBytes(captured_bytes bytes, std::size_t offset, std::size_t count, void *out)
{
    if (!within(bytes, offset, count))
        return false;
    std::memcpy(out, bytes.data + offset, count);
    return true;
}

namespace
{

bool readIpv4(captured_bytes bytes, ip_header &out)
{
    std::uint8_t first;
    std::uint16_t total, fragment;
    if (!read8(bytes, 0, first) || !read16(bytes, 2, total) || !read16(bytes, 6, fragment) ||
        !read8(bytes, 9, out.protocol) || !readBytes(bytes, 12, 4, out.source) ||
        !readBytes(bytes, 16, 4, out.destination))
        return false;
    out.header_length = std::size_t{4} * (first & 0x0Fu);
    out.stated = total;
    out.fragment_offset = std::uint32_t{8} * (fragment & 0x1FFFu);
    out.later_fragment = out.fragment_offset != 0;
    out.transport = out.header_length;
    return true;
}

bool readIpv6(captured_bytes bytes, ip_header &out)
{
    std::uint16_t payload;
    if (!read16(bytes, 4, payload) || !read8(bytes, 6, out.protocol) ||
        !readBytes(bytes, 8, 16, out.source) || !readBytes(bytes, 24, 16, out.destination))
        return false;
    out.header_length = ipv6_header;
    out.stated = payload == 0 ? 0 : ipv6_header + payload;
    out.transport = ipv6_header;
    if (out.protocol != protocol_fragment)
        return true;
    // Its next header is the transport's once its first byte was captured;
    // its offset only once all of it was.
    out.fragment_header = true;
    out.transport = ipv6_header + fragment_header;
    read8(bytes, ipv6_header, out.protocol);
    std::uint16_t fragment;
    if (within(bytes, ipv6_header, fragment_header) && read16(bytes, ipv6_header + 2, fragment)) {
        out.fragment_offset = fragment & 0xFFF8u;
        out.later_fragment = out.fragment_offset != 0;
    }
    return true;
}

} // namespace

bool readIp(captured_bytes bytes, ip_header &out)
{
    out = {};
    std::uint8_t first;
    if (!read8(bytes, 0, first))
        return false;
    out.version = first >> 4u;
    switch (out.version) {
    case 4:
        return readIpv4(bytes, out);
    case 6:
        return readIpv6(bytes, out);
    default:
        return false;
    }
}

ip_extent extentOf(const ip_header &ip, std::size_t captured)
{
    if (ip.version == 4 && ip.header_length < ipv4_header)
        return {captured, ip.header_length, false};
    if (ip.stated == 0)
        return {captured, ip.version == 6 ? ipv6_header : captured, false};
    if (ip.stated < ip.header_length)
        return {captured, ip.header_length, true};
    return {std::min(ip.stated, captured), ip.stated, false};
}
