#include "input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace
{

// The first four bytes name the layout.
capture_format formatOf(const unsigned char *bytes)
{
    for (const bool big : {false, true}) {
        const std::uint32_t magic = read32(bytes, big);
        if (magic == pcap_magic || magic == pcap_nano_magic)
            return big ? capture_format::pcap_big : capture_format::pcap_little;
    }
    return read32(bytes, false) == section_block ? capture_format::pcapng : capture_format::unknown;
}

std::size_t pcapStep(framing &reading, bool opening, const unsigned char *bytes,
                     std::size_t available)
{
    if (opening && available >= pcap_header)
        reading.lengths = lengthsOf(bytes, reading.format == capture_format::pcap_big);
    if (opening)
        return available >= pcap_header ? pcap_header : 0;
    if (available < pcap_record)
        return 0;
    const std::size_t captured = capturedLength(reading, bytes);
    if (captured > pcap_record_limit)
        return pcap_record;
    return available >= pcap_record + captured ? pcap_record + captured : 0;
}

// Blocks up to and including the first packet block, or on opening the
// first interface (or a packet block, which libpcap refuses there).
std::size_t pcapngStep(framing &reading, bool opening, const unsigned char *bytes,
                       std::size_t available)
{
    bool big = reading.big_endian;
    for (std::size_t at = 0;;) {
        if (available - at < 12)
            return 0;
        const std::uint32_t type = read32(bytes + at, big);
        if (type == section_block) {
            const std::uint32_t order = read32(bytes + at + 8, false);
            if (order != byte_order_magic && read32(bytes + at + 8, true) != byte_order_magic)
                return available; // libpcap refuses it
            big = order != byte_order_magic;
        }
        const std::size_t length = read32(bytes + at + 4, big);
        if (length < 12 || length % 4 != 0 || length > step_limit)
            return at + 12; // refused as soon as libpcap reads its header
        if (available - at < length)
            return 0;
        at += length;
        const bool packet =
            type == packet_block || type == simple_packet_block || type == enhanced_packet_block;
        if (packet || (opening && type == interface_block)) {
            reading.big_endian = big;
            return at;
        }
    }
}

// Reads what fd has now, without waiting. False when it has nothing yet.
bool readMore(capture_input &input)
{
    constexpr std::size_t chunk = 256 * 1024;
    if (input.start > 0 && input.room - input.end < chunk) {
        if (input.end > input.start)
            std::memmove(input.bytes.get(), input.bytes.get() + input.start,
                         input.end - input.start);
        input.end -= input.start;
        input.start = input.allowed = 0; // libpcap has read its step: none is allowed now
    }
    if (input.room - input.end < chunk) {
        const std::size_t room = std::max(2 * input.room, input.end + chunk);
        auto grown = std::make_unique<unsigned char[]>(room);
        if (input.end > 0)
            std::memcpy(grown.get(), input.bytes.get(), input.end);
        input.bytes = std::move(grown);
        input.room = room;
    }
    pollfd readable{input.fd, POLLIN, 0};
    if (poll(&readable, 1, 0) != 1)
        return false;
    const ssize_t got = read(input.fd, input.bytes.get() + input.end, input.room - input.end);
    if (got > 0)
        input.end += static_cast<std::size_t>(got);
    else if (got == 0)
        input.ended = true;
    else if (errno != EAGAIN && errno != EINTR)
        input.error = errno;
    else
        return false;
    return true;
}

ssize_t readInput(void *cookie, char *into, std::size_t size)
{
    auto &input = *static_cast<capture_input *>(cookie);
    const std::size_t count = std::min(size, input.allowed - std::min(input.allowed, input.start));
    if (count == 0 && input.error != 0) {
        errno = input.error;
        return -1;
    }
    if (count > 0)
        std::memcpy(into, input.bytes.get() + input.start, count);
    input.start += count;
    input.consumed += count;
    return static_cast<ssize_t>(count);
}

} // namespace

pcap_lengths lengthsOf(const unsigned char *header, bool big)
{
    const unsigned major = big ? header[4] << 8 | header[5] : header[5] << 8 | header[4];
    const unsigned minor = big ? header[6] << 8 | header[7] : header[7] << 8 | header[6];
    // 543 is 2 written by a writer that swapped the halves' bytes.
    if ((major == 2 && minor < 3) || major == 543)
        return pcap_lengths::swapped;
    return major == 2 && minor == 3 ? pcap_lengths::either : pcap_lengths::in_order;
}

std::uint32_t capturedLength(const framing &reading, const unsigned char *record)
{
    const bool big = reading.format == capture_format::pcap_big;
    const std::uint32_t captured = read32(record + 8, big), wire = read32(record + 12, big);
    switch (reading.lengths) {
    case pcap_lengths::swapped:
        return wire;
    case pcap_lengths::either:
        return std::min(captured, wire);
    case pcap_lengths::in_order:
        break;
    }
    return captured;
}

std::size_t stepLength(framing &reading, bool opening, const unsigned char *bytes,
                       std::size_t available)
{
    if (reading.format == capture_format::unknown) {
        if (available < 4)
            return 0;
        reading.format = formatOf(bytes);
    }
    switch (reading.format) {
    case capture_format::pcap_little:
    case capture_format::pcap_big:
        return pcapStep(reading, opening, bytes, available);
    case capture_format::pcapng:
        return pcapngStep(reading, opening, bytes, available);
    case capture_format::unknown:
        break;
    }
    return available; // libpcap says what it is not
}

bool stepReady(capture_input &input, bool opening)
{
    for (;;) {
        const std::size_t step = stepLength(input.reading, opening, input.bytes.get() + input.start,
                                            input.end - input.start);
        // At the end, libpcap reads what there is and says what it makes of it.
        if (step > 0 || input.ended || input.error != 0) {
            input.allowed = step > 0 ? input.start + step : input.end;
            return true;
        }
        if (!readMore(input))
            return false;
    }
}

FILE *inputStream(capture_input &input)
{
    FILE *stream = fopencookie(&input, "r", {readInput, nullptr, nullptr, nullptr});
    static char buffer[1 << 16];
    if (stream && setvbuf(stream, buffer, _IOFBF, sizeof buffer) != 0) {
        std::fclose(stream);
        return nullptr;
    }
    return stream;
}
