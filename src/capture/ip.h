// IP: the one reader of an IPv4 or IPv6 header, for the frame decoder and
// the summary alike. Pure: no I/O, and no byte is read without a bound.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes as they were captured: held of them lie at data.
struct held_bytes {
    const unsigned char *data;
    std::size_t held;
};

// Whether count bytes from offset on are held.
bool holds(held_bytes bytes, std::size_t offset, std::size_t count);

// The byte, or big-endian 16 or 32 bits, at offset. False, with out left as
// it was, where they are not all held.
bool read8(held_bytes bytes, std::size_t offset, std::uint8_t &out);
bool read16(held_bytes bytes, std::size_t offset, std::uint16_t &out);
bool read32(held_bytes bytes, std::size_t offset, std::uint32_t &out);

// Copies count bytes from offset on into out, where they are all held.
bool readBytes(held_bytes bytes, std::size_t offset, std::size_t count, void *out);

inline constexpr std::size_t ipv4_header = 20, ipv6_header = 40, fragment_header = 8;
inline constexpr std::uint8_t protocol_tcp = 6, protocol_fragment = 44;

// What an IP header says of its datagram.
struct ip_header {
    unsigned version;              // 4 or 6
    std::size_t header_length;     // IPv4: as its IHL states, which may be under 20; IPv6: 40
    std::size_t stated;            // IPv4: the total length; IPv6: 40 + the payload length;
                                   // 0 where the length field is 0
    std::uint8_t protocol;         // IPv4: the protocol; IPv6: the next header, after a
                                   // fragment header where one comes first and is held
    bool fragment_header;          // IPv6: a fragment header comes first
    bool later_fragment;           // a fragment past the first, as far as held
    std::uint32_t fragment_offset; // in bytes
    std::size_t transport;         // where the transport header would start
    std::uint8_t source[16], destination[16];
};

// Reads the IPv4 or IPv6 header at the start of bytes. False where the
// version is neither or its fixed header is not held. An IPv6 fragment
// header is read as far as it is held; no other extension header is walked.
bool readIp(held_bytes bytes, ip_header &out);

// The datagram's length as its header states it or, where it states 0
// (segmentation offload, or an IPv6 jumbogram), frame: the bytes the frame
// carries past the link header.
std::size_t statedOrFrame(const ip_header &ip, std::size_t frame);
