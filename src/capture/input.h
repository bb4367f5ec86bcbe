// Input: a capture file's bytes as they come, from a file or a pipe, kept
// until libpcap reads them, so that it is handed a step (the file's header,
// or the next packet and whatever blocks come before it) only once the
// whole of it is there: reading never waits, in the middle of a record or
// anywhere else, and whoever serves the viewer waits on the input's
// descriptor with everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// How a capture file is laid out, as far as finding its records goes.
enum class capture_format : std::uint8_t { unknown, pcap_little, pcap_big, pcapng };

// The words of the layouts that finding records needs.
inline constexpr std::uint32_t pcap_magic = 0xA1B2C3D4, pcap_nano_magic = 0xA1B23C4D;
inline constexpr std::uint32_t section_block = 0x0A0D0D0A, byte_order_magic = 0x1A2B3C4D;
inline constexpr std::uint32_t interface_block = 1, packet_block = 2, simple_packet_block = 3,
                               enhanced_packet_block = 6;
inline constexpr std::size_t pcap_header = 24, pcap_record = 16;
// libpcap takes no pcap record larger: a longer one is refused at its header.
inline constexpr std::size_t pcap_record_limit = 262144;

// A 32-bit word of a file in either byte order. Pure.
inline std::uint32_t read32(const unsigned char *at, bool big)
{
    return big ? std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 |
                     std::uint32_t{at[2]} << 8 | at[3]
               : std::uint32_t{at[3]} << 24 | std::uint32_t{at[2]} << 16 |
                     std::uint32_t{at[1]} << 8 | at[0];
}

// Where a reading of a capture file stands: its layout, and for pcapng the
// byte order of the section being read.
// How a pcap file orders a record's two lengths, as libpcap reads them:
// files before version 2.3 put the length on the wire first, 2.3 either way
// (the smaller is the captured one).
enum class pcap_lengths : std::uint8_t { in_order, swapped, either };

struct framing {
    capture_format format;
    bool big_endian;
    pcap_lengths lengths; // pcap: as the file's header says
};

// A pcap file's order of lengths, from its header. Pure.
pcap_lengths lengthsOf(const unsigned char *header, bool big);

// The bytes a pcap record captured, as libpcap takes them. Pure.
std::uint32_t capturedLength(const framing &reading, const unsigned char *record);

// The largest step there is waited for: libpcap's largest pcap record and
// pcapng block. A longer one is handed over as it stands, for libpcap to
// refuse.
inline constexpr std::size_t step_limit = 16 * 1024 * 1024;

// How many of the available bytes libpcap reads for its next step: opening
// the file (its header; for pcapng every block up to the first interface)
// or the next packet (for pcapng with the blocks before it); 0 while they
// are not all there. A layout libpcap would refuse is handed over as it
// is. Pure.
std::size_t stepLength(framing &reading, bool opening, const unsigned char *bytes,
                       std::size_t available);

struct capture_input {
    int fd = -1;
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t room = 0;       // of bytes
    std::size_t start = 0;      // bytes libpcap has read
    std::size_t end = 0;        // bytes read from fd
    std::size_t allowed = 0;    // the end of the step libpcap may read now
    std::uint64_t consumed = 0; // bytes libpcap has read from the start of the input
    bool ended = false;         // fd had no more
    int error = 0;              // why it could not be read, or 0
    framing reading{};
};

// Whether libpcap's next step (opening, or the next packet) can be taken
// without waiting: it is all there, or the input has ended. Reads what fd
// has now, without waiting, to find out.
bool stepReady(capture_input &input, bool opening);

// The stream libpcap reads the input through: it is handed the step found
// ready, and nothing past it, so that its buffer is empty again once the
// step is taken.
FILE *inputStream(capture_input &input);
