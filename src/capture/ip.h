// IP: the one reader of an IPv4 or IPv6 header, and the one judge of the
// length it states, for the frame decoder, the live sockets and the summary
// alike. Pure: no I/O, and no byte is read without a bound.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes as they were captured: size of them lie at data.
struct captured_bytes {
    const unsigned char *data;
    std::size_t size;
};

// Whether count bytes from offset on were captured.
bool within(captured_bytes bytes, std::size_t offset, std::size_t count);

// The byte, or big-endian 16 or 32 bits, at offset. False, with out left as
// it was, where they were not all captured.
bool read8(captured_bytes bytes, std::size_t offset, std::uint8_t &out);
bool read16(captured_bytes bytes, std::size_t offset, std::uint16_t &out);
bool read32(captured_bytes bytes, std::size_t offset, std::uint32_t &out);

// Copies count bytes from offset on into out, where they were all captured.
bool readBytes(captured_bytes bytes, std::size_t offset, std::size_t count, void *out);

inline constexpr std::size_t ipv4_header = 20, ipv6_header = 40, fragment_header = 8;
inline constexpr std::uint8_t protocol_tcp = 6, protocol_fragment = 44;

// What an IP header says of its datagram.
struct ip_header {
    unsigned version;              // 4 or 6
    std::size_t header_length;     // IPv4: as its IHL states, which may be under 20; IPv6: 40
    std::size_t stated;            // IPv4: the total length; IPv6: 40 + the payload length;
                                   // 0 where the length field is 0
    std::uint8_t protocol;         // IPv4: the protocol; IPv6: the next header, after a
                                   // fragment header where one comes first and is captured
    bool fragment_header;          // IPv6: a fragment header comes first
    bool later_fragment;           // a fragment past the first, as far as captured
    std::uint32_t fragment_offset; // in bytes
    std::size_t transport;         // where the transport header would start
    std::uint8_t source[16], destination[16];
};

// Reads the IPv4 or IPv6 header at the start of bytes. False where the
// version is neither or its fixed header was not captured. An IPv6
// fragment header is read as far as it was captured; no other extension
// header is walked.
bool readIp(captured_bytes bytes, ip_header &out);

// How long a datagram is, by its header, as tcpdump judges it.
struct ip_extent {
    std::size_t length; // its bytes as captured: what is drawn, logged and recorded
    std::size_t end;    // where the content its header accounts for ends, captured or not
    bool bad_length;    // IPv4: a total length under the header's, past which nothing is read
};

// The one rule, given the bytes captured from the header on: the length
// stated, cut to those captured; all of them where the length cannot be
// trusted. An IPv4 header length under 20 (bad-hlen) or total length under
// the header's (bad-len) accounts for nothing past the header; a total
// length of 0 comes from segmentation offload, and the bytes captured are
// the datagram; an IPv6 payload length of 0 with no jumbo option (none can
// come before TCP or a fragment header) states no payload.
ip_extent extentOf(const ip_header &ip, std::size_t captured);
