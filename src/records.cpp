#include "records.h"

#include <cstdint>

namespace
{

constexpr std::uint32_t section_header = 0x0A0D0D0A;
constexpr std::size_t block_header = 8; // type and total length
// Above what libpcap accepts for any link type it replays here.
constexpr std::uint64_t largest_record = std::uint64_t{32} << 20;

std::uint32_t word(const unsigned char *at, bool big_endian)
{
    const std::uint32_t big =
        std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
    return big_endian ? big
                      : (big >> 24) | ((big >> 8) & 0xFF00) | ((big << 8) & 0xFF0000) | big << 24;
}

bool isPacketBlock(std::uint32_t type)
{
    return type == 2 || type == 3 || type == 6; // obsolete, simple and enhanced packets
}

} // namespace

bool readLayout(const unsigned char *start, std::size_t held, record_layout &layout)
{
    if (held < 12)
        return false;
    switch (word(start, true)) {
    case section_header:
        switch (word(start + 8, true)) {
        case 0x1A2B3C4D:
            layout = {true, true, 0};
            return true;
        case 0x4D3C2B1A:
            layout = {true, false, 0};
            return true;
        default:
            return false;
        }
    case 0xA1B2C3D4: // microseconds
    case 0xA1B23C4D: // nanoseconds
        layout = {false, true, 16};
        return true;
    case 0xD4C3B2A1:
    case 0x4D3CB2A1:
        layout = {false, false, 16};
        return true;
    case 0xA1B2CD34: // the modified format, with 8 more bytes per record
        layout = {false, true, 24};
        return true;
    case 0x34CDB2A1:
        layout = {false, false, 24};
        return true;
    default:
        return false;
    }
}

bool packetHeld(const record_layout &layout, const unsigned char *at, std::size_t held)
{
    for (std::size_t offset = 0;;) {
        const std::size_t left = held - offset;
        const std::size_t header = layout.pcapng ? block_header : layout.header;
        if (left < header)
            return false;
        const unsigned char *record = at + offset;
        if (!layout.pcapng) {
            const std::uint64_t length =
                layout.header + std::uint64_t{word(record + 8, layout.big_endian)};
            return length > largest_record || left >= length;
        }
        const std::uint32_t length = word(record + 4, layout.big_endian);
        if (length < block_header + 4 || length % 4 != 0 || length > largest_record)
            return true;
        if (left < length)
            return false;
        if (isPacketBlock(word(record, layout.big_endian)))
            return true;
        offset += length;
    }
}
