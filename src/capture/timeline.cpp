#include "timeline.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <unistd.h>

namespace
{

constexpr std::size_t pcapng_packet_header = 20;
// An interface block's options are read whole up to this size; a larger
// one is not read past its header, and its interface keeps microseconds.
constexpr std::size_t interface_limit = 64 * 1024;
constexpr std::int64_t second = 1000000000;

std::uint16_t read16(const unsigned char *at, bool big)
{
    return static_cast<std::uint16_t>(big ? at[0] << 8 | at[1] : at[1] << 8 | at[0]);
}

header_seen needs(std::size_t bytes) { return {bytes, 0, false, {}, false, 0}; }

header_seen damage() { return {0, 0, false, {}, true, 0}; }

// A stamp of whole seconds and a fraction that may hold more seconds, as
// the file reader reads one.
timespec stampOf(std::int64_t seconds, std::uint64_t fraction)
{
    std::int64_t whole;
    if (__builtin_add_overflow(seconds, static_cast<std::int64_t>(fraction / second), &whole))
        whole = INT64_MAX;
    return {static_cast<time_t>(whole), static_cast<long>(fraction % second)};
}

header_seen pcapHeader(header_walk &walk, const unsigned char *bytes, std::size_t available)
{
    const bool big = walk.reading.format == capture_format::pcap_big;
    if (!walk.opened) {
        if (available < pcap_header)
            return needs(pcap_header);
        walk.nano = read32(bytes, big) == pcap_nano_magic;
        walk.reading.lengths = lengthsOf(bytes, big);
        walk.opened = true;
        walk.at = walk.step = pcap_header;
        return {0, pcap_header, false, {}, false, 0};
    }
    if (available < pcap_record)
        return needs(pcap_record);
    const std::uint32_t captured = capturedLength(walk.reading, bytes);
    if (captured > pcap_record_limit)
        return damage();
    const std::uint64_t fraction = read32(bytes + 4, big);
    header_seen seen{0,     pcap_record + captured,
                     true,  stampOf(read32(bytes, big), walk.nano ? fraction : fraction * 1000),
                     false, walk.step};
    walk.at += seen.size;
    walk.step = walk.at;
    return seen;
}

// An interface block's if_tsresol and if_tsoffset options.
bool readInterface(header_walk &walk, const unsigned char *bytes, std::size_t size, bool big)
{
    interface_clock clock{1000000, 0};
    for (std::size_t at = 16; size <= interface_limit && at + 4 <= size - 4;) {
        const std::uint16_t code = read16(bytes + at, big), length = read16(bytes + at + 2, big);
        const std::size_t value = at + 4;
        if (code == 0 || value + length > size - 4)
            break;
        if (code == 9 && length >= 1) {
            const unsigned resolution = bytes[value];
            const unsigned power = resolution & 0x7F;
            if (resolution & 0x80) {
                if (power >= 64)
                    return false; // as libpcap refuses it
                clock.units = std::uint64_t{1} << power;
            } else {
                if (power > 19)
                    return false;
                clock.units = 1;
                for (unsigned times = 0; times < power; ++times)
                    clock.units *= 10;
            }
        } else if (code == 14 && length >= 8) {
            const std::uint64_t high = read32(bytes + value + (big ? 0 : 4), big);
            const std::uint64_t low = read32(bytes + value + (big ? 4 : 0), big);
            clock.offset = static_cast<std::int64_t>(high << 32 | low);
        }
        at = value + ((length + 3u) & ~3u);
    }
    walk.interfaces.push_back(clock);
    return true;
}

timespec interfaceStamp(const interface_clock &clock, std::uint64_t units)
{
    const std::uint64_t seconds = units / clock.units;
    const std::uint64_t fraction =
        static_cast<std::uint64_t>(__int128{units % clock.units} * second / clock.units);
    std::int64_t whole;
    if (seconds > static_cast<std::uint64_t>(INT64_MAX) ||
        __builtin_add_overflow(static_cast<std::int64_t>(seconds), clock.offset, &whole))
        whole = INT64_MAX;
    return stampOf(whole, fraction);
}

header_seen pcapngHeader(header_walk &walk, const unsigned char *bytes, std::size_t available)
{
    if (available < 12)
        return needs(12);
    bool big = walk.reading.big_endian;
    const std::uint32_t type = read32(bytes, big);
    if (type == section_block) {
        const std::uint32_t order = read32(bytes + 8, false);
        if (order != byte_order_magic && read32(bytes + 8, true) != byte_order_magic)
            return damage();
        big = walk.reading.big_endian = order != byte_order_magic;
    }
    const std::uint32_t size = read32(bytes + 4, big);
    if (size < 12 || size % 4 != 0 || size > step_limit)
        return damage();
    header_seen seen{0, size, false, {}, false, walk.step};
    const bool packet =
        type == packet_block || type == simple_packet_block || type == enhanced_packet_block;
    walk.late |= walk.packets && (type == section_block || type == interface_block);
    walk.packets |= packet;
    if (type == section_block) {
        walk.interfaces.clear();
    } else if (type == interface_block) {
        if (size <= interface_limit && available < size)
            return needs(size);
        if (!readInterface(walk, bytes, size, big))
            return damage();
    } else if (packet) {
        if (walk.interfaces.empty())
            return damage(); // a packet before any interface
        if (type != simple_packet_block) {
            if (available < pcapng_packet_header)
                return needs(pcapng_packet_header);
            const std::uint32_t interface =
                type == packet_block ? read16(bytes + 8, big) : read32(bytes + 8, big);
            if (interface >= walk.interfaces.size())
                return damage();
            const std::uint64_t units =
                std::uint64_t{read32(bytes + 12, big)} << 32 | read32(bytes + 16, big);
            seen.stamp = interfaceStamp(walk.interfaces[interface], units);
        }
        seen.packet = true;
    }
    walk.at += size;
    // Opening ends with the first interface; each packet's step ends with it.
    if (packet || (!walk.opened && type == interface_block)) {
        walk.opened = true;
        walk.step = walk.at;
    }
    return seen;
}

} // namespace

header_seen readHeader(header_walk &walk, const unsigned char *bytes, std::size_t available)
{
    if (walk.reading.format == capture_format::unknown) {
        if (available < 4)
            return needs(4);
        framing probe{};
        stepLength(probe, true, bytes, available);
        walk.reading.format = probe.format;
        if (walk.reading.format == capture_format::unknown)
            return damage();
    }
    return walk.reading.format == capture_format::pcapng ? pcapngHeader(walk, bytes, available)
                                                         : pcapHeader(walk, bytes, available);
}

std::int64_t offsetOf(const timespec &first, const timespec &stamp)
{
    std::int64_t seconds, total;
    if (__builtin_sub_overflow(stamp.tv_sec, first.tv_sec, &seconds))
        return stamp.tv_sec > first.tv_sec ? INT64_MAX : 0;
    if (__builtin_mul_overflow(seconds, second, &total) ||
        __builtin_add_overflow(total, stamp.tv_nsec - first.tv_nsec, &total))
        return seconds > 0 ? INT64_MAX : 0;
    return std::max<std::int64_t>(total, 0);
}

void addRecord(timeline &line, std::uint64_t step, const timespec &stamp)
{
    if (!line.stamped) {
        line.stamped = true;
        line.first = stamp;
        line.span = -1;
    }
    if (line.records % mark_every == 0)
        line.marks.push_back({step, line.records, line.span});
    line.span = std::max(line.span, offsetOf(line.first, stamp));
    ++line.records;
}

const mark &markBefore(const timeline &line, std::int64_t offset)
{
    // Marks' latest offsets only grow: the last one still before offset.
    const auto after =
        std::partition_point(line.marks.begin(), line.marks.end(),
                             [offset](const mark &at) { return at.before < offset; });
    return after == line.marks.begin() ? line.marks.front() : *(after - 1);
}

timeline walkFile(int fd, std::uint64_t size)
{
    timeline line{};
    line.span = -1;
    // A megabyte at a time, or the whole of a smaller file.
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(1 << 20, size));
    const auto bytes = std::make_unique_for_overwrite<unsigned char[]>(room);
    std::uint64_t start = 0; // the file's byte bytes[0] holds
    std::size_t held = 0;
    header_walk walk{};
    for (;;) {
        line.direct = !walk.late;
        if (walk.at >= size) {
            line.whole = walk.at == size && walk.opened;
            return line;
        }
        const bool in_hand = walk.at >= start && walk.at < start + held;
        const std::size_t available =
            in_hand ? static_cast<std::size_t>(start + held - walk.at) : 0;
        const header_seen seen = available > 0
                                     ? readHeader(walk, bytes.get() + (walk.at - start), available)
                                     : header_seen{1, 0, false, {}, false, 0};
        if (seen.damaged)
            return line;
        if (seen.need > 0) {
            // The buffer begins again at the header and reads on.
            if (walk.at + seen.need > size)
                return line; // cut short: the replay says how
            ssize_t got;
            do
                got = pread(fd, bytes.get(), room, static_cast<off_t>(walk.at));
            while (got < 0 && errno == EINTR);
            if (got < static_cast<ssize_t>(seen.need))
                return line;
            start = walk.at;
            held = static_cast<std::size_t>(got);
            continue;
        }
        if (walk.at > size)
            return line; // a record cut short by the file's end
        if (seen.packet)
            addRecord(line, seen.step, seen.stamp);
    }
}
