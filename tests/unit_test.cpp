#include "asking.h"
#include "authority.h"
#include "clip.h"
#include "counts.h"
#include "describe.h"
#include "filter.h"
#include "frame.h"
#include "identity.h"
#include "input.h"
#include "interfaces.h"
#include "log.h"
#include "options.h"
#include "pace.h"
#include "packing.h"
#include "picture.h"
#include "progress.h"
#include "record.h"
#include "render.h"
#include "shell.h"
#include "state.h"
#include "summary.h"
#include "tempo.h"
#include "timeline.h"
#include "video_clock.h"

#include <X11/Xauth.h>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <pcap/dlt.h>
#include <string>
#include <tuple>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace
{

signed char byte(unsigned value) { return static_cast<signed char>(value); }

TEST(render, intensity_of_byte)
{
    const struct {
        unsigned byte;
        float intensity;
    } rows[] = {
        {0x00, 0.0f},        {0x7E, 0.0f},        {0x7F, 1.0f},        {0x80, 33818639.0f},
        {0xEF, 33818639.0f}, {0xF0, 33818640.0f}, {0xFF, 33818640.0f},
    };
    for (const auto &row : rows)
        EXPECT_EQ(intensity(byte(row.byte)), row.intensity) << std::hex << row.byte;
}

TEST(render, vertices_of_group)
{
    const struct {
        unsigned bytes[4];
        int width, height;
        std::vector<int> vertices; // ax, ay, bx, by
    } rows[] = {
        {{0x45, 0x00, 0x00, 0x28}, 500, 500, {345, 0, 0, 200}},
        {{0x45, 0x00, 0x00, 0x28}, 1000, 300, {690, 0, 0, 120}},
        {{0x7F, 0x80, 0xFF, 0x01}, 500, 500, {635, 5, 640, 5}},
        {{0x7F, 0x80, 0xFF, 0x01}, 1000, 300, {1270, 3, 1280, 3}},
        {{0x80, 0x80, 0x80, 0x80}, 32767, 32767, {41856, 41856, 41856, 41856}},
        {{0x45, 0x00, 0x00, 0x28}, 99, 99, {0, 0, 0, 0}},
    };
    for (const auto &row : rows) {
        const signed char group[4] = {byte(row.bytes[0]), byte(row.bytes[1]), byte(row.bytes[2]),
                                      byte(row.bytes[3])};
        std::vector<int> vertices(4);
        groupVertices(group, row.width / 100, row.height / 100, vertices.data());
        EXPECT_EQ(vertices, row.vertices) << row.width << "x" << row.height;
    }
}

TEST(render, groups_drawn_for_count)
{
    // Those at offsets 0, 4, ... strictly below the count less 4: no byte
    // at or past the count is read.
    const struct {
        int count, groups;
    } rows[] = {
        {-1, 0},  {0, 0},   {1, 0},   {4, 0},         {5, 0},         {6, 1},
        {7, 1},   {8, 1},   {9, 1},   {10, 2},        {40, 9},        {41, 9},
        {42, 10}, {43, 10}, {44, 10}, {65534, 16383}, {65535, 16383},
    };
    for (const auto &row : rows) {
        const int drawn = trimmedCount(row.count);
        EXPECT_EQ(groupCount(drawn), row.groups) << row.count;
        EXPECT_LE(4 * groupCount(drawn), std::max(drawn - 1, 0)) << row.count;
    }
}

TEST(render, odd_counts_lose_their_last_byte)
{
    const int rows[][2] = {{-1, -1}, {0, 0}, {1, 0}, {40, 40}, {41, 40}, {65535, 65534}};
    for (const auto &row : rows)
        EXPECT_EQ(trimmedCount(row[0]), row[1]) << row[0];
}

TEST(describe, log_lines)
{
    const struct {
        int count;
        const char *source;
        const char *lines;
    } rows[] = {
        {40, "127.0.0.1", "Bytes received -->    40\nSource address --> 127.0.0.1\n"},
        {-1, "0.0.0.0", "Bytes received -->    -1\nSource address --> 0.0.0.0\n"},
        {65535, "192.168.100.200",
         "Bytes received --> 65535\nSource address --> 192.168.100.200\n"},
        // IPv6 as RFC 5952 writes it: lower case, the longest run of zeros
        // folded, a lone zero group kept.
        {60, "::1", "Bytes received -->    60\nSource address --> ::1\n"},
        {1500, "2001:DB8:0:0:0:0:0:7",
         "Bytes received -->  1500\nSource address --> 2001:db8::7\n"},
        {48, "2001:db8:0:1:1:1:1:1",
         "Bytes received -->    48\nSource address --> 2001:db8:0:1:1:1:1:1\n"},
        {40, "fe80::1", "Bytes received -->    40\nSource address --> fe80::1\n"},
    };
    for (const auto &row : rows) {
        const bool ipv6 = std::strchr(row.source, ':');
        segment_summary segment{};
        segment.family = ipv6 ? 6 : 4;
        inet_pton(ipv6 ? AF_INET6 : AF_INET, row.source, segment.source);
        char lines[128];
        const int length = formatLog(lines, sizeof lines, row.count, segment);
        EXPECT_EQ(std::string(lines, static_cast<std::size_t>(length)), row.lines);
    }
}

TEST(counts, line)
{
    const struct {
        tally seen;
        const char *line;
    } rows[] = {
        // logged, dropped, passed to the socket, skipped, the file, passed over
        {{0, 0, 0, 0, nullptr, 0}, "skevla: 0 datagrams received, 0 dropped by the kernel\n"},
        {{1, 1, 2, 0, nullptr, 0}, "skevla: 1 datagram received, 1 dropped by the kernel\n"},
        {{70312, 4096, 70000, 3, nullptr, 0}, // told before the last were logged
         "skevla: 70312 datagrams received, 4096 dropped by the kernel\n"},
        {{2122, 20011, 23200, 0, nullptr, 0},
         "skevla: 2122 datagrams received, 1067 not yet taken, 20011 dropped by the kernel\n"},
        {{1, 0, 0, 1, "x.pcap", 0}, "skevla: 1 datagram received from x.pcap, 1 packet skipped\n"},
        {{9, 0, 0, 0, "-", 0}, "skevla: 9 datagrams received from -, 0 packets skipped\n"},
        {{30, 0, 0, 2, "day.pcap", 1},
         "skevla: 30 datagrams received from day.pcap, 2 packets skipped, 1 packet passed over\n"},
        {{30, 0, 0, 0, "day.pcap", 180000},
         "skevla: 30 datagrams received from day.pcap, 0 packets skipped, 180000 packets passed "
         "over\n"},
    };
    for (const auto &row : rows) {
        char line[256];
        EXPECT_EQ(std::string(line, formatCounts(line, sizeof line, row.seen)), row.line);
    }
}

// A message of one record, as a channel carries it: fields, then follows
// bytes of x, then extra bytes past what its header says.
template <typename Fields>
std::vector<unsigned char> recorded(record_kind kind, const Fields &fields, std::size_t follows = 0,
                                    std::size_t extra = 0)
{
    const std::size_t size = std::is_empty_v<Fields> ? 0 : sizeof fields;
    std::vector<unsigned char> bytes(sizeof(record_header) + size + follows + extra, 'x');
    const record_header header{kind, static_cast<std::uint32_t>(size + follows)};
    std::memcpy(bytes.data(), &header, sizeof header);
    if (size > 0)
        std::memcpy(bytes.data() + sizeof header, &fields, size);
    return bytes;
}

// What a side takes from the other: nothing that does not check out, in
// the state the channel is in. The children parse hostile bytes; a child
// trusts no caller either.
TEST(record, checked_before_use)
{
    datagram_fields datagram{};
    datagram.length = 40;
    datagram.summary.family = 4;
    const auto with = [&](auto change) {
        datagram_fields changed = datagram;
        change(changed);
        return changed;
    };
    const auto stamped = with([](datagram_fields &f) { f.nanoseconds = 1000000000; });
    const auto shaped = with([](datagram_fields &f) { f.summary.shape = segment_shape{9}; });
    const auto bad_hlen =
        with([](datagram_fields &f) { f.summary.shape = segment_shape::bad_hlen; });
    const auto hlen_not_bad = with([](datagram_fields &f) {
        f.summary.shape = segment_shape::bad_hlen;
        f.summary.ip_header_length = 20;
    });
    const auto all_missing = with([](datagram_fields &f) { f.summary.missing = 65536; });
    const auto failed_receive = with([](datagram_fields &f) { f.length = -1; });
    const auto largest = with([](datagram_fields &f) { f.length = 65535; });
    const auto past = with([](datagram_fields &f) { f.length = 65536; });
    const auto small = with([](datagram_fields &f) { f.length = 8; });
    auto texted = recorded(record_kind::gone, stream_fields{}, 3);
    texted.back() = '\033';
    constexpr std::uint8_t starting = capture_starting, streaming = capture_streaming;
    const struct {
        const char *name;
        channel_rules rules;
        side from;
        std::uint8_t state;
        std::vector<unsigned char> bytes;
        bool usable;
        bool attached = false;
    } rows[] = {
        {"datagram", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, datagram, 40), true},
        {"failed receive", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, failed_receive, 0), true},
        {"the largest", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, largest, 65535), true},
        {"past the buffer", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, past, 65536), false},
        {"bytes but the length", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, datagram, 39), false},
        {"more than it says", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, datagram, 40, 1), false},
        {"shorter than a header", capture_channel, side::child, streaming, {1, 0, 0, 0}, false},
        {"a stamp past its second", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, stamped, 40), false},
        {"an unknown shape", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, shaped, 40), false},
        {"a bad IPv4 header length", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, bad_hlen, 40), true},
        {"a header length called bad that is not", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, hlen_not_bad, 40), false},
        {"more missing than any datagram holds", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, all_missing, 40), false},
        {"IPv4 addresses without a header", capture_channel, side::child, streaming,
         recorded(record_kind::datagram, small, 8), false},
        {"an unknown kind", capture_channel, side::child, streaming,
         recorded(record_kind{99}, no_fields{}), false},
        {"the cause", capture_channel, side::child, streaming,
         recorded(record_kind::gone, stream_fields{}, 12), true},
        {"a terminal escape in the cause", capture_channel, side::child, streaming, texted, false},
        {"a failure's status", capture_channel, side::child, starting,
         recorded(record_kind::failed, failed_fields{{}, 2, 0}), true},
        {"a status no failure has", capture_channel, side::child, starting,
         recorded(record_kind::failed, failed_fields{{}, 3, 0}), false},
        {"a datagram before ready", capture_channel, side::child, starting,
         recorded(record_kind::datagram, datagram, 40), false},
        {"ready twice", capture_channel, side::child, streaming,
         recorded(record_kind::ready, ready_fields{}), false},
        {"a request from the capture process", capture_channel, side::child, streaming,
         recorded(record_kind::next, next_fields{}), false},
        {"a request", capture_channel, side::viewer, streaming,
         recorded(record_kind::next, next_fields{}), true},
        {"a request with more to it", capture_channel, side::viewer, streaming,
         recorded(record_kind::next, next_fields{}, 8), false},
        {"a move", capture_channel, side::viewer, streaming,
         recorded(record_kind::seek, seek_fields{90}), true},
        {"a move at the end", capture_channel, side::viewer, capture_over,
         recorded(record_kind::seek, seek_fields{0}), true},
        {"a move before the start", capture_channel, side::viewer, streaming,
         recorded(record_kind::seek, seek_fields{-1}), false},
        {"a move from the capture process", capture_channel, side::child, streaming,
         recorded(record_kind::seek, seek_fields{90}), false},
        {"landed", capture_channel, side::child, capture_over,
         recorded(record_kind::landed, landed_fields{{}, 90}), true},
        {"landed before the start", capture_channel, side::child, streaming,
         recorded(record_kind::landed, landed_fields{{}, -5}), false},
        {"landed before ready", capture_channel, side::child, starting,
         recorded(record_kind::landed, landed_fields{{}, 0}), false},
        {"limits", keeper_channel, side::viewer, keeper_unlimited,
         recorded(record_kind::limits, size_fields{500, 500}), true},
        {"limits past X's", keeper_channel, side::viewer, keeper_unlimited,
         recorded(record_kind::limits, size_fields{32768, 500}), false},
        {"a picture before the limits", keeper_channel, side::viewer, keeper_unlimited,
         recorded(record_kind::picture, picture_fields{1, 1, 1, 0}), false, true},
        {"a picture", keeper_channel, side::viewer, keeper_serving,
         recorded(record_kind::picture, picture_fields{1, 1, 1, 0}), true, true},
        {"a picture without its pixels", keeper_channel, side::viewer, keeper_serving,
         recorded(record_kind::picture, picture_fields{1, 1, 1, 0}), false},
        {"limits with a file", keeper_channel, side::viewer, keeper_unlimited,
         recorded(record_kind::limits, size_fields{500, 500}), false, true},
        {"a frame before the word to begin", encoder_channel, side::viewer, encoder_waiting,
         recorded(record_kind::frame, frame_fields{}), false, true},
        {"the word to begin", encoder_channel, side::viewer, encoder_waiting,
         recorded(record_kind::begin, no_fields{}), true},
        {"the encoder's failure", encoder_channel, side::child, encoder_waiting,
         recorded(record_kind::failed, failed_fields{{}, 1, 0}, 20), true},
        {"a frame from the encoder", encoder_channel, side::child, encoder_encoding,
         recorded(record_kind::frame, frame_fields{}), false, true},
        {"a still", encoder_channel, side::viewer, encoder_encoding,
         recorded(record_kind::still, still_fields{30}), true},
        {"a still with pixels", encoder_channel, side::viewer, encoder_encoding,
         recorded(record_kind::still, still_fields{30}), false, true},
        {"a still before the word to begin", encoder_channel, side::viewer, encoder_waiting,
         recorded(record_kind::still, still_fields{30}), false},
    };
    for (const auto &row : rows) {
        std::uint8_t state = row.state;
        std::size_t at = 0;
        alignas(8) unsigned char message[recordSpan(sizeof(datagram_fields) + 65536) + 16];
        std::memcpy(message, row.bytes.data(), row.bytes.size());
        const record_header *taken =
            takeRecord(row.rules, row.from, state, message, row.bytes.size(), at, row.attached);
        EXPECT_EQ(taken && at == row.bytes.size(), row.usable) << row.name;
    }
}

// A record moves a channel on, and the stream's records pack back to back.
TEST(record, states_and_packing)
{
    alignas(8) unsigned char message[1024];
    const ready_fields ready{1234, 0, 0, -1};
    const std::size_t used = putRecord(message, 0, record_kind::ready, &ready, sizeof ready);
    const failed_fields failed{{}, 1, 0};
    const std::size_t second =
        putRecord(message, used, record_kind::failed, &failed, sizeof failed, "cut", 3);
    EXPECT_EQ(used % 8, 0u);
    EXPECT_EQ(second % 8, 0u);
    std::uint8_t state = capture_starting;
    std::size_t at = 0;
    const record_header *first =
        takeRecord(capture_channel, side::child, state, message, second, at);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(fieldsOf<ready_fields>(*first).file_size, 1234u);
    EXPECT_EQ(state, capture_streaming);
    const record_header *next =
        takeRecord(capture_channel, side::child, state, message, second, at);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytesOf(*next, sizeof failed)),
                          countOf(*next, sizeof failed)),
              "cut");
    EXPECT_EQ(state, capture_over);
    EXPECT_EQ(at, second);
}

// An IPv4 TCP datagram of 24 bytes from 10.0.0.7, held in full, and what
// each link layer puts before it.
const std::vector<unsigned char> ipv4_tcp = {0x45, 0, 0, 24, 0,   0, 0, 0, 64, 6, 0, 0,
                                             10,   0, 0, 7,  127, 0, 0, 1, 1,  2, 3, 4};

// An IPv6 TCP datagram of 44 bytes from 2001:db8::7 to ::1.
const std::vector<unsigned char> ipv6_tcp = {
    0x60, 0,    0,    0,    0, 4, 6, 64,                         // 4 bytes of TCP follow
    0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 7, // from 2001:db8::7
    0,    0,    0,    0,    0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 1, // to ::1
    1,    2,    3,    4};

std::vector<unsigned char> framed(std::vector<unsigned char> link, std::vector<unsigned char> net)
{
    link.insert(link.end(), net.begin(), net.end());
    return link;
}

TEST(frame, decode)
{
    const std::vector<unsigned char> ethernet = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x08, 0};
    const std::vector<unsigned char> vlans = {1,  2,    3,    4, 5, 6,    7, 8, 9, 10,   11,
                                              12, 0x88, 0xA8, 0, 5, 0x81, 0, 0, 7, 0x08, 0};
    std::vector<unsigned char> sll(16), sll2(20);
    sll[14] = 0x08;
    sll2[0] = 0x08;
    auto udp = ipv4_tcp;
    udp[9] = 17;
    auto ipv6 = ipv4_tcp;
    ipv6[0] = 0x60;
    auto offload = ipv4_tcp;
    offload[3] = 0; // total length 0: the frame is the datagram
    auto bogus_length = ipv4_tcp;
    bogus_length[3] = 19;
    const auto padded = framed(ipv4_tcp, {0, 0, 0, 0, 0, 0});
    const std::vector<unsigned char> cut(ipv4_tcp.begin(), ipv4_tcp.begin() + 21);
    auto no_header_length = padded, udp_no_header_length = udp;
    no_header_length[0] = udp_no_header_length[0] = 0x40;
    auto ethernet6 = ethernet, vlans6 = vlans, sll6 = sll, sll2_6 = sll2;
    ethernet6[12] = vlans6[20] = sll6[14] = sll2_6[0] = 0x86;
    ethernet6[13] = vlans6[21] = sll6[15] = sll2_6[1] = 0xDD;
    auto udp6 = ipv6_tcp, hop_by_hop = ipv6_tcp, fragment = ipv6_tcp, offload6 = ipv6_tcp;
    udp6[6] = 17;
    hop_by_hop[6] = 0;
    fragment[6] = 44;
    fragment.insert(fragment.begin() + 40, {6, 0, 0, 0, 0, 0, 0, 1});
    fragment[5] = 12;
    auto fragment_of_udp = fragment;
    fragment_of_udp[40] = 17;
    offload6[5] = 0; // payload length 0: the frame is the datagram
    const std::vector<unsigned char> cut6(ipv6_tcp.begin(), ipv6_tcp.begin() + 41),
        short6(ipv6_tcp.begin(), ipv6_tcp.begin() + 39);
    const struct {
        const char *name;
        int link_type;
        std::vector<unsigned char> frame;
        bool decoded;
        std::size_t offset = 0, length = 0;
    } rows[] = {
        {"ethernet", DLT_EN10MB, framed(ethernet, ipv4_tcp), true, 14, 24},
        {"ethernet padding", DLT_EN10MB, framed(ethernet, padded), true, 14, 24},
        {"802.1ad and 802.1Q", DLT_EN10MB, framed(vlans, ipv4_tcp), true, 22, 24},
        {"ethernet arp", DLT_EN10MB,
         framed({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 8, 6}, ipv4_tcp), false},
        {"ethernet cut in the tag",
         DLT_EN10MB,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x81, 0, 0},
         false},
        {"cooked v1", DLT_LINUX_SLL, framed(sll, ipv4_tcp), true, 16, 24},
        {"cooked v2", DLT_LINUX_SLL2, framed(sll2, ipv4_tcp), true, 20, 24},
        {"cooked v2 ipv6", DLT_LINUX_SLL2,
         framed({0x86, 0xDD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, ipv4_tcp),
         false},
        {"raw", DLT_RAW, ipv4_tcp, true, 0, 24},
        {"raw ipv6", DLT_RAW, ipv6, false},
        {"ipv4", DLT_IPV4, ipv4_tcp, true, 0, 24},
        {"null, little-endian writer", DLT_NULL, framed({2, 0, 0, 0}, ipv4_tcp), true, 4, 24},
        {"null, big-endian writer", DLT_NULL, framed({0, 0, 0, 2}, ipv4_tcp), true, 4, 24},
        {"null ipv6", DLT_NULL, framed({30, 0, 0, 0}, ipv6), false},
        {"loop", DLT_LOOP, framed({0, 0, 0, 2}, ipv4_tcp), true, 4, 24},
        {"loop, wrong order", DLT_LOOP, framed({2, 0, 0, 0}, ipv4_tcp), false},
        {"udp", DLT_RAW, udp, false},
        {"cut by the snapshot length", DLT_RAW, cut, true, 0, 21},
        {"shorter than a header", DLT_RAW, {0x45, 0, 0, 24, 0, 0, 0, 0, 64, 6}, false},
        {"segmentation offload", DLT_RAW, offload, true, 0, 24},
        // A total length under the header's is as untrusted: the frame is the
        // datagram, as live.
        {"total below the header", DLT_RAW, bogus_length, true, 0, 24},
        // A header length under 20 leaves the total length untrusted.
        {"header length 0", DLT_EN10MB, framed(ethernet, no_header_length), true, 14, 30},
        {"header length 0, udp", DLT_RAW, udp_no_header_length, false},
        {"empty", DLT_EN10MB, {}, false},
        {"unsupported link type", 147, framed(ethernet, ipv4_tcp), false},
        // IPv6, in every link type that carries it.
        {"ethernet ipv6", DLT_EN10MB, framed(ethernet6, ipv6_tcp), true, 14, 44},
        {"ethernet ipv6 padded", DLT_EN10MB, framed(ethernet6, framed(ipv6_tcp, {0, 0})), true, 14,
         44},
        {"vlans ipv6", DLT_EN10MB, framed(vlans6, ipv6_tcp), true, 22, 44},
        {"ethernet ipv6 type, ipv4 inside", DLT_EN10MB, framed(ethernet6, ipv4_tcp), false},
        {"cooked v1 ipv6", DLT_LINUX_SLL, framed(sll6, ipv6_tcp), true, 16, 44},
        {"cooked v2 ipv6 tcp", DLT_LINUX_SLL2, framed(sll2_6, ipv6_tcp), true, 20, 44},
        {"raw ipv6 tcp", DLT_RAW, ipv6_tcp, true, 0, 44},
        {"ipv6 link type", DLT_IPV6, ipv6_tcp, true, 0, 44},
        {"ipv4 link type, ipv6 inside", DLT_IPV4, ipv6_tcp, false},
        {"null 24, little-endian writer", DLT_NULL, framed({24, 0, 0, 0}, ipv6_tcp), true, 4, 44},
        {"null 28, big-endian writer", DLT_NULL, framed({0, 0, 0, 28}, ipv6_tcp), true, 4, 44},
        {"null 30", DLT_NULL, framed({30, 0, 0, 0}, ipv6_tcp), true, 4, 44},
        {"null 30, ipv4 inside", DLT_NULL, framed({30, 0, 0, 0}, ipv4_tcp), false},
        {"loop 30", DLT_LOOP, framed({0, 0, 0, 30}, ipv6_tcp), true, 4, 44},
        {"ipv6 udp", DLT_RAW, udp6, false},
        {"ipv6 hop-by-hop first", DLT_RAW, hop_by_hop, false},
        {"ipv6 fragment of tcp", DLT_RAW, fragment, true, 0, 52},
        {"ipv6 fragment of udp", DLT_RAW, fragment_of_udp, false},
        {"ipv6 offload", DLT_RAW, framed(offload6, {9, 9}), true, 0, 46},
        {"ipv6 cut by the snapshot length", DLT_RAW, cut6, true, 0, 41},
        {"ipv6 shorter than its header", DLT_RAW, short6, false},
    };
    for (const auto &row : rows) {
        // An exact copy on the heap, so a read past it is caught when sanitized.
        const std::vector<unsigned char> frame(row.frame);
        datagram_span span{};
        ASSERT_EQ(decodeFrame(row.link_type, frame.data(), frame.size(), span), row.decoded)
            << row.name;
        if (row.decoded) {
            EXPECT_EQ(std::tie(span.offset, span.length), std::tie(row.offset, row.length))
                << row.name;
        }
    }
}

TEST(summary, one_line_as_tcpdump_writes_it)
{
    auto syn_ack = ipv4_tcp; // 24 bytes: cut inside the TCP header
    syn_ack[3] = 60;         // as stated: 20 of IP, 32 of TCP, 8 of payload
    syn_ack.insert(syn_ack.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x12, 0, 0, 0, 0, 0, 0});
    auto all_flags = syn_ack, none = syn_ack, later = syn_ack, bad = syn_ack, long_offset = syn_ack;
    all_flags[33] = 0xFF;
    none[33] = 0;
    later[7] = 3;           // fragment offset 24
    bad[32] = 0x40;         // data offset 4
    long_offset[32] = 0xF0; // 60 bytes, past the TCP length of 40
    const std::vector<unsigned char> ports_only(syn_ack.begin(), syn_ack.begin() + 26);
    auto no_header_length = syn_ack, header_length_16 = syn_ack;
    no_header_length[0] = 0x40;
    header_length_16[0] = 0x44;
    auto ipv6_push = ipv6_tcp;
    ipv6_push[5] = 24; // 20 bytes of TCP and 4 of payload
    ipv6_push.insert(ipv6_push.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0x50, 0x18, 0, 0, 0, 0, 0, 0});
    auto no_payload6 = ipv6_push, total_short = syn_ack, total_under_header = syn_ack;
    no_payload6[5] = 0; // no jumbo option: the headers state no TCP bytes
    total_short[3] = 30;
    total_under_header[3] = 10;
    auto first6 = ipv6_push, later6 = ipv6_push;
    first6[6] = later6[6] = 44; // a fragment header first, then TCP
    first6[5] = later6[5] = 32;
    first6.insert(first6.begin() + 40, {6, 0, 0, 1, 0, 0, 0, 7});
    later6.insert(later6.begin() + 40, {6, 0, 0, 24, 0, 0, 0, 7});
    const struct {
        std::vector<unsigned char> datagram;
        const char *line;                  // tcpdump -n's, up to the fields skevla leaves out
        std::size_t wire = datagram_limit; // all it states was on the wire, unless less
    } rows[] = {
        {syn_ack, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772: Flags [S.], length 8\n"},
        {all_flags,
         "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772: Flags [FSRP.UEW], length 8\n"},
        {none, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772: Flags [none], length 8\n"},
        {ipv6_push, "01:02:03.000007 IP6 2001:db8::7.258 > ::1.772: Flags [P.], length 4\n"},
        // What the headers cannot tell is not made up.
        {later, "01:02:03.000007 IP 10.0.0.7 > 127.0.0.1: ip-proto-6\n"},
        {later6, "01:02:03.000007 IP6 2001:db8::7 > ::1: frag (24|24)\n"},
        {first6, "01:02:03.000007 IP6 2001:db8::7 > ::1: frag (0|24) 258 > 772: Flags [P.], "
                 "length 4\n"},
        {bad, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772:  tcp 24 [bad hdr length 16 - "
              "too short, < 20]\n"},
        {long_offset, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772: Flags [S.] [bad hdr "
                      "length 60 - too long, > 40]\n"},
        {ports_only, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772:  [|tcp]\n"},
        {{ipv4_tcp.begin(), ipv4_tcp.begin() + 23},
         "01:02:03.000007 IP 10.0.0.7 > 127.0.0.1: [|tcp]\n"},
        {no_payload6, "01:02:03.000007 IP6 2001:db8::7 > ::1: [|tcp]\n"},
        {total_short, "01:02:03.000007 IP 10.0.0.7.258 > 127.0.0.1.772:  [|tcp]\n"},
        {total_under_header, "01:02:03.000007 IP bad-len 10\n"},
        // A total length past the length on the wire, whatever was held of it.
        {syn_ack,
         "01:02:03.000007 IP truncated-ip - 20 bytes missing! 10.0.0.7.258 > 127.0.0.1.772: "
         "Flags [S.], length 8\n",
         40},
        {later,
         "01:02:03.000007 IP truncated-ip - 20 bytes missing! 10.0.0.7 > 127.0.0.1: ip-proto-6\n",
         40},
        {ports_only,
         "01:02:03.000007 IP truncated-ip - 10 bytes missing! 10.0.0.7.258 > 127.0.0.1.772:  "
         "[|tcp]\n",
         50},
        {no_header_length, "01:02:03.000007 IP bad-hlen 0\n"},
        {header_length_16, "01:02:03.000007 IP bad-hlen 16\n"},
    };
    setenv("TZ", "UTC", 1);
    tzset();
    for (const auto &row : rows) {
        const std::vector<unsigned char> datagram(row.datagram); // exact, for ASan
        const segment_summary segment =
            summarizeSegment(datagram.data(), datagram.size(), row.wire);
        char line[256];
        const int length = formatOneLine(line, sizeof line, segment, {3723, 7000});
        EXPECT_EQ(std::string(line, static_cast<std::size_t>(length)), row.line);
    }
}

TEST(authority, cookies_of_the_display_alone)
{
    const struct {
        const char *display, *number;
    } names[] = {{":0", "0"},        {"host:12.0", "12"},  {"unix:3", "3"},
                 {"[::1]:5.1", "5"}, {"nocolon", nullptr}, {":x", nullptr}};
    for (const auto &name : names) {
        char number[16];
        const char *found = displayNumber(name.display, number, sizeof number);
        EXPECT_EQ(found ? std::string(found) : "(none)",
                  name.number ? std::string(name.number) : "(none)")
            << name.display;
    }
    // Entries for displays 7, 70, 0 and any: display 7's and any's are kept.
    std::FILE *all = std::tmpfile(), *kept = std::tmpfile();
    for (const char *number : {"7", "70", "0", ""}) {
        char address[] = "host", name[] = "MIT-MAGIC-COOKIE-1", data[] = "0123456789abcdef";
        Xauth entry{256,
                    4,
                    address,
                    static_cast<unsigned short>(std::strlen(number)),
                    const_cast<char *>(number),
                    18,
                    name,
                    16,
                    data};
        ASSERT_EQ(XauWriteAuth(all, &entry), 1);
    }
    std::rewind(all);
    EXPECT_EQ(copyCookies(all, kept, "7"), 2);
    std::rewind(kept);
    std::vector<std::string> numbers;
    for (Xauth *entry; (entry = XauReadAuth(kept)); XauDisposeAuth(entry))
        numbers.emplace_back(entry->number, entry->number_length);
    EXPECT_EQ(numbers, (std::vector<std::string>{"7", ""}));
    std::fclose(all);
    std::fclose(kept);
}

TEST(interfaces, interface_line)
{
    char line[128];
    formatInterface(line, sizeof line, 1, "lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK);
    EXPECT_STREQ(line, "1.lo [Up, Running, Loopback]\n");
    formatInterface(line, sizeof line, 7, "br0", 0);
    EXPECT_STREQ(line, "7.br0 [none]\n");
}

TEST(summary, sender)
{
    const struct {
        const char *name;
        std::vector<unsigned char> datagram;
        const char *sender;
    } rows[] = {
        {"ipv4", ipv4_tcp, "10.0.0.7"},
        {"ipv6", ipv6_tcp, "2001:db8::7"},
        {"ipv4 cut in the header", {ipv4_tcp.begin(), ipv4_tcp.begin() + 19}, "0.0.0.0"},
        {"ipv6 cut in the header", {ipv6_tcp.begin(), ipv6_tcp.begin() + 39}, "0.0.0.0"},
        {"ipv4 header length 0", framed({0x40}, {ipv4_tcp.begin() + 1, ipv4_tcp.end()}),
         "10.0.0.7"},
        {"a failed receive", {}, "0.0.0.0"},
    };
    for (const auto &row : rows) {
        const std::vector<unsigned char> datagram(row.datagram);
        char lines[128];
        formatLog(lines, sizeof lines, 1,
                  summarizeSegment(datagram.data(), datagram.size(), datagram.size()));
        EXPECT_EQ(std::string(lines).substr(std::strlen(lines) - std::strlen(row.sender) - 1),
                  std::string(row.sender) + "\n")
            << row.name;
    }
}

TEST(pace, due_times)
{
    constexpr long long second = 1000000000;
    const struct {
        const char *name;
        timespec stamp;
        long long now, due, shown;
    } rows[] = {
        // One replay, in order: each row's now is when its record has come,
        // and shown when it is shown.
        {"first: at once", {1000, 0}, 5 * second, 5 * second, 5 * second},
        {"as recorded after it",
         {1001, 500000000},
         5 * second,
         6 * second + second / 2,
         6 * second + second / 2},
        {"come late: still as recorded", {1002, 0}, 9 * second, 7 * second, 9 * second},
        {"after one shown late: its gap after that",
         {1003, 0},
         9 * second,
         10 * second,
         10 * second},
        {"before the last: at once", {999, 0}, 11 * second, 11 * second, 11 * second},
        {"as recorded after that", {999, 1000}, 11 * second, 11 * second + 1000, 12 * second},
        {"more than a day on: at once", {999 + 86401, 0}, 13 * second, 13 * second, 13 * second},
        {"the largest stamp: at once",
         {LLONG_MAX, 999999999},
         14 * second,
         14 * second,
         14 * second},
        {"the smallest: at once", {LLONG_MIN, 0}, 15 * second, 15 * second, 15 * second},
        {"a fraction far out of range",
         {LLONG_MIN, LONG_MAX},
         16 * second,
         16 * second,
         16 * second},
    };
    pace clock{};
    for (const auto &row : rows) {
        EXPECT_EQ(dueTime(clock, row.stamp, row.now), row.due) << row.name;
        shownAt(clock, row.stamp, row.shown);
    }
    // Four times as fast: a second recorded is a quarter.
    clock.speed = 4;
    shownAt(clock, {2000, 0}, 20 * second);
    EXPECT_EQ(dueTime(clock, {2001, 0}, 20 * second), 20 * second + second / 4);
}

TEST(tempo, rate_of_the_last_second)
{
    constexpr long long tenth = 100000000;
    rate seen{};
    for (long long at : {0LL, 3 * tenth, 9 * tenth, 9 * tenth + 5, 14 * tenth})
        countShown(seen, at);
    const struct {
        long long at;
        unsigned long shown;
    } rows[] = {
        {14 * tenth, 3},                  // 0.5 to 1.4 s: 0.9, 0.9 and 1.4
        {18 * tenth, 3}, {19 * tenth, 1}, // 1.0 to 1.9 s: only 1.4
        {24 * tenth, 0}, {1000 * tenth, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(lastSecond(seen, row.at), row.shown) << row.at;
}

TEST(failure, shell_word)
{
    const struct {
        const char *text, *word;
    } rows[] = {
        {"/usr/bin/skevla", "/usr/bin/skevla"},
        {"/home/a b/skevla", "'/home/a b/skevla'"},
        {"/tmp/it's/skevla", "'/tmp/it'\\''s/skevla'"},
        {"/tmp/$HOME/skevla", "'/tmp/$HOME/skevla'"},
        {"", "''"},
    };
    for (const auto &row : rows) {
        char word[64];
        EXPECT_STREQ(shellWord(row.text, word, sizeof word), row.word) << row.text;
    }
}

TEST(identity, sudo_ids)
{
    const struct {
        const char *uid, *gid;
        bool parsed;
        uid_t user = 0;
        gid_t group = 0;
    } rows[] = {
        {"1000", "1000", true, 1000, 1000},
        {"0", "0", true, 0, 0},
        {"65534", "100", true, 65534, 100},
        {"4294967294", "1", true, 4294967294u, 1},
        {"4294967295", "1", false},
        {"99999999999", "1", false},
        {"-1", "1", false},
        {"+5", "1", false},
        {" 5", "1", false},
        {"5x", "1", false},
        {"", "1", false},
        {nullptr, "1", false},
        {"1", nullptr, false},
    };
    for (const auto &row : rows) {
        uid_t user = 7;
        gid_t group = 7;
        const bool parsed = parseIds(row.uid, row.gid, user, group);
        EXPECT_EQ(parsed, row.parsed) << (row.uid ? row.uid : "(none)");
        if (row.parsed) {
            EXPECT_EQ(std::tie(user, group), std::tie(row.user, row.group)) << row.uid;
        }
    }
}

TEST(shell, extension_is_a_whole_word)
{
    const struct {
        const char *extensions;
        bool has;
    } rows[] = {
        {"GLX_EXT_swap_control", true},
        {"GLX_ARB_multisample GLX_EXT_swap_control GLX_MESA_query_renderer", true},
        {"GLX_ARB_multisample GLX_EXT_swap_control", true},
        {"GLX_EXT_swap_control_tear", false},
        {"GLX_EXT_swap_control_tear GLX_EXT_swap_control ", true},
        {"XGLX_EXT_swap_control", false},
        {"", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(hasExtension(row.extensions, "GLX_EXT_swap_control"), row.has) << row.extensions;
}

TEST(picture, video_kind_by_extension)
{
    const struct {
        const char *path;
        int kind;
    } rows[] = {
        {"day.mp4", 0},       {"day.webm", 1},   {"/tmp/day.mkv", 2}, {"DAY.MKV", 2},
        {".mkv", -1},         {"talk/.mp4", -1}, {"day.mp4.txt", -1}, {"day.mp", -1},
        {"day.matroska", -1}, {"", -1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(videoKind(row.path), row.kind) << row.path;
}

TEST(progress, line)
{
    constexpr long long second = nanoseconds_per_second;
    const struct {
        double fraction;
        long long made;
        const char *line;
    } rows[] = {
        {0, 0, "skevla: 0% of the file read, 0:00:00 of video made"},
        {0.999, 59 * second + second / 2, "skevla: 99% of the file read, 0:00:59 of video made"},
        {1, 3723 * second, "skevla: 100% of the file read, 1:02:03 of video made"},
        {7, 1, "skevla: 100% of the file read, 0:00:00 of video made"}, // a file that grew
        {-1, 100 * 3600 * second, "skevla: 100:00:00 of video made"},   // a pipe
    };
    for (const auto &row : rows) {
        char line[128];
        EXPECT_EQ(std::string(line, static_cast<std::size_t>(
                                        formatProgress(line, sizeof line, row.fraction, row.made))),
                  row.line);
    }
}

TEST(options, arguments)
{
    const struct {
        std::vector<const char *> arguments;
        verdict outcome;
        char mode = 'p';
        std::int32_t winx = 500, winy = 500;
        const char *filter = nullptr, *interface = nullptr, *file = nullptr;
        bool top_speed = false;
        bool sandbox = true;
    } rows[] = {
        {{}, verdict::run, 'p', 500, 500},
        {{"-ml", "-w", "800", "-h", "600"}, verdict::run, 'l', 800, 600},
        {{"-mp", "-md"}, verdict::run, 'd', 500, 500},
        {{"-mdot", "-width", "640", "-height", "480"}, verdict::run, 'd', 640, 480},
        {{"-m"}, verdict::run, '\0', 500, 500},
        {{"-mx"}, verdict::run, 'x', 500, 500},
        {{"-h", "abc"}, verdict::run, 'p', 500, 0},
        {{"-w", "640px"}, verdict::run, 'p', 640, 500},
        {{"-w", " \t+72"}, verdict::run, 'p', 72, 500},
        {{"-w", "-300"}, verdict::run, 'p', -300, 500},
        {{"-h", "-w"}, verdict::run, 'p', 500, 0},
        {{"-w", "32767"}, verdict::run, 'p', 32767, 500},
        {{"-w", "32768"}, verdict::refused}, // X keeps sizes in 16 bits
        {{"-h", "99999999999"}, verdict::refused},
        {{"-w", "-99999999999999999999"}, verdict::run, 'p', INT32_MIN, 500},
        {{"-help", "300"}, verdict::run, 'p', 500, 300},
        {{"300"}, verdict::refused},
        {{"-Q", "inout"}, verdict::run},
        {{"-Q", "both"}, verdict::refused},
        {{"-B", "256"}, verdict::run},
        {{"-B", "1048576"}, verdict::run},
        {{"-B", "255"}, verdict::refused},
        {{"-B", "2M"}, verdict::refused},
        {{"-r", "x.pcap", "-B", "4096"}, verdict::refused},
        {{"-r", "x.pcap", "-Q", "in"}, verdict::refused},
        {{"-x"}, verdict::refused},
        {{"--bogus"}, verdict::refused},
        {{""}, verdict::refused},
        {{"-"}, verdict::refused},
        {{"-m", "d"}, verdict::refused},
        {{"-display", ":0"}, verdict::refused},
        {{"-geometry", "100x100"}, verdict::refused},
        {{"-w", "640", "-h"}, verdict::refused},
        {{"-w"}, verdict::refused},
        {{"--help"}, verdict::help},
        {{"--helpme"}, verdict::refused},
        {{"-f", "tcp port 443", "-i", "eth0"}, verdict::run, 'p', 500, 500, "tcp port 443", "eth0"},
        {{"-filter", "a", "-f", "b", "-iface", "lo"}, verdict::run, 'p', 500, 500, "b", "lo"},
        {{"-r", "x.pcap", "-t", "-f", ""}, // empty: no filter, as tcpdump takes it
         verdict::run,
         'p',
         500,
         500,
         nullptr,
         nullptr,
         "x.pcap",
         true},
        {{"-read", "-", "-top"}, verdict::run, 'p', 500, 500, nullptr, nullptr, "-", true},
        {{"-f"}, verdict::refused},
        {{"-md", "-i"}, verdict::refused},
        {{"-r"}, verdict::refused},
        {{"-r", "x.pcap", "-i", "lo"}, verdict::refused},
        {{"-t"}, verdict::refused},
        {{"-t", "-i", "lo"}, verdict::refused},
        {{"--no-sandbox", "-md"},
         verdict::run,
         'd',
         500,
         500,
         nullptr,
         nullptr,
         nullptr,
         false,
         false},
        {{"--no-sandboxes"}, verdict::refused},
        {{"--version", "--bogus"}, verdict::version},
        {{"-D", "-t"}, verdict::list_interfaces},
        {{"-c", "0"}, verdict::refused},
        {{"-c", "-3"}, verdict::refused},
        {{"-c", "3 "}, verdict::refused},
        {{"-c"}, verdict::refused},
        {{"--video", "run.webm", "-r", "x.pcap", "-t"},
         verdict::run,
         'p',
         500,
         500,
         nullptr,
         nullptr,
         "x.pcap",
         true},
        {{"--video", "talk/Run.MKV"}, verdict::run},
        {{"--video", "run.avi"}, verdict::refused},
        {{"--video", ".mp4"}, verdict::refused},
        {{"--video"}, verdict::refused},
        // What each kind's encoder takes: H.264 16384 on a side, every kind
        // fewer than 268 million pixels with 128 more on each side.
        {{"--video", "x.mp4", "-w", "16384", "-h", "300"}, verdict::run, 'p', 16384, 300},
        {{"--video", "x.mp4", "-w", "16385", "-h", "300"}, verdict::refused},
        {{"--video", "x.webm", "-w", "32767", "-h", "300"}, verdict::run, 'p', 32767, 300},
        {{"--video", "x.mp4", "-w", "16383", "-h", "16000"}, verdict::run, 'p', 16383, 16000},
        {{"--video", "x.webm", "-w", "16383", "-h", "16384"}, verdict::refused},
        {{"--video", "x.mkv", "-w", "16383", "-h", "16383"}, verdict::refused},
        {{"--video", "x.mkv", "-w", "16384", "-h", "16000"}, verdict::run, 'p', 16384, 16000},
        {{"--video", "x.mkv", "-w", "-1", "-h", "16383"}, verdict::run, 'p', -1, 16383},
    };
    for (const auto &row : rows) {
        std::vector<const char *> argv{"skevla"};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        const std::vector<const char *> before = argv;
        options settings{.mode = 'p', .winx = 500, .winy = 500};
        const verdict outcome = parseOptions(static_cast<int>(argv.size()), argv.data(), settings);
        const std::string label = ::testing::PrintToString(row.arguments);
        EXPECT_EQ(outcome, row.outcome) << label;
        if (row.outcome == verdict::run) {
            EXPECT_EQ(std::tie(settings.mode, settings.winx, settings.winy, settings.top_speed,
                               settings.sandbox),
                      std::tie(row.mode, row.winx, row.winy, row.top_speed, row.sandbox))
                << label;
            const auto text = [](const char *value) {
                return value ? std::string(value) : "(none)";
            };
            EXPECT_EQ(text(settings.filter), text(row.filter)) << label;
            EXPECT_EQ(text(settings.interface), text(row.interface)) << label;
            EXPECT_EQ(text(settings.file), text(row.file)) << label;
        }
        EXPECT_EQ(argv, before) << label;
    }
}

} // namespace

// What the viewer asks the capture process for: a message for each free
// place; with -c, every datagram wanted at once and never more, one more
// message while some have not come.
TEST(asking, requests)
{
    asking open = startAsking(4, 0);
    std::vector<std::uint32_t> granted;
    while (const auto next = nextRequest(open))
        granted.push_back(*next);
    EXPECT_EQ(granted.size(), 4u);
    EXPECT_GT(granted[0], 800u); // as many as a message can hold
    messageCame(open, 3);
    EXPECT_FALSE(nextRequest(open)); // its place is not free until it is taken
    placeFreed(open);
    EXPECT_TRUE(nextRequest(open));

    asking counted = startAsking(4, 5);
    EXPECT_EQ(nextRequest(counted), std::optional<std::uint32_t>(5));
    EXPECT_FALSE(nextRequest(counted)); // asked for, not yet come
    messageCame(counted, 3);
    EXPECT_EQ(nextRequest(counted), std::optional<std::uint32_t>(0)); // for the two left
    messageCame(counted, 2);
    placeFreed(counted);
    placeFreed(counted);
    EXPECT_FALSE(nextRequest(counted)); // all five came: nothing more is asked for
}

// The capture process's side: credit, the message being packed, and the
// ring datagrams are held in while no credit is given, bounded, oldest
// first, whole records across its wrap.
TEST(packing, credit_message_and_ring)
{
    credit given{};
    EXPECT_FALSE(mayPack(given, false));
    grant(given, 2);
    EXPECT_TRUE(mayPack(given, true));
    static message_packer message{};
    const datagram_fields fields{};
    const unsigned char bytes[1000] = {};
    pack(message, given, record_kind::datagram, &fields, sizeof fields, bytes, 100);
    pack(message, given, record_kind::datagram, &fields, sizeof fields, bytes, 100);
    EXPECT_FALSE(mayPack(given, true)); // two granted, two packed
    EXPECT_TRUE(mayPack(given, false)); // the stream's end may still go in
    EXPECT_EQ(message.used, 2 * recordSpan(sizeof fields + 100));
    EXPECT_FALSE(roomFor(message, message_limit));
    sent(message, given);
    EXPECT_EQ(std::make_pair(message.used, given.messages), std::make_pair(std::size_t{0}, 0u));

    held_ring ring{};
    EXPECT_FALSE(roomIn(ring, 1)); // a file's source holds nothing
    makeRing(ring, 4 * recordSpan(sizeof fields + 1000));
    const auto holdOne = [&](unsigned char mark) {
        unsigned char data[1000];
        std::memset(data, mark, sizeof data);
        return hold(ring, record_kind::datagram, &fields, sizeof fields, data, sizeof data);
    };
    const auto first = [&] { return bytesOf(*firstHeld(ring), sizeof fields)[0]; };
    for (unsigned char mark = 1; mark <= 4; ++mark)
        EXPECT_TRUE(holdOne(mark)) << int{mark};
    EXPECT_FALSE(holdOne(5)); // full: the kernel's ring keeps the rest
    release(ring);
    release(ring);
    EXPECT_TRUE(holdOne(5)); // round the ring's end, into what two left
    EXPECT_TRUE(holdOne(6));
    EXPECT_FALSE(holdOne(7));
    std::vector<int> order;
    for (; firstHeld(ring); release(ring))
        order.push_back(first());
    EXPECT_EQ(order, (std::vector<int>{3, 4, 5, 6}));
    EXPECT_TRUE(holdOne(8)); // empty again: from the start
    EXPECT_EQ(first(), 8);
}

// The log's queue: many datagrams' lines, written as standard output takes
// them; a datagram is received once its lines are all written.
TEST(log, queue_written_in_parts)
{
    static log_queue log{};
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
    fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    const std::string lines = "Bytes received -->    40\nSource address --> 127.0.0.1\n";
    unsigned long queued = 0;
    while (logHasRoom(log) && queued < 200) {
        queueLines(log, lines.data(), lines.size());
        ++queued;
    }
    unsigned long done = 0, received = 0;
    EXPECT_EQ(writeQueued(log, pipe_ends[1], done), written::partly); // the pipe is full
    received += done;
    EXPECT_LT(received, queued);
    EXPECT_EQ(received, 4096 / lines.size()); // whole datagrams alone
    char drained[65536];
    for (written result = written::partly; result != written::all; received += done) {
        ASSERT_GT(read(pipe_ends[0], drained, sizeof drained), 0);
        result = writeQueued(log, pipe_ends[1], done);
    }
    EXPECT_EQ(received, queued);
    EXPECT_FALSE(logQueued(log));
    close(pipe_ends[0]);
    EXPECT_EQ(writeQueued(log, pipe_ends[1], done), written::all); // nothing left to write
    queueLines(log, lines.data(), lines.size());
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(writeQueued(log, pipe_ends[1], done), written::reader_gone);
    close(pipe_ends[1]);
}

// A jump in a replay: the picture in hand keeps its frame, and the video
// goes on a frame later, whether the jump went on an hour or back.
TEST(video_clock, jump)
{
    video_clock replay = startClock(10, false, 0);
    const struct {
        timespec stamp;
        bool jumped_before;
        long long frame;
    } rows[] = {
        {{100, 0}, false, -1}, {{101, 0}, false, 0}, // a second on: the first picture at 0
        {{4000, 0}, true, 10},                       // an hour on by a jump: the second at 1 s
        {{50, 0}, true, 11},  // back by a jump: the one it landed on at 1.1 s
        {{51, 0}, false, 12}, // as recorded again: the one landed on back at 1.2 s
    };
    for (const auto &row : rows) {
        if (row.jumped_before)
            jumped(replay);
        const long long frame = frameBefore(replay, row.stamp, 1);
        EXPECT_EQ(frame, row.frame) << row.stamp.tv_sec;
        if (frame >= 0)
            framed(replay, frame);
        datagramShown(replay);
    }
    EXPECT_EQ(lastFrame(replay, 0), 22); // and the last a second later
}

// Which frames a video gets: a replay's by its recorded time at its speed,
// a gap kept to the still limit, times never going back; live by the
// clock, a still picture told a second at a time up to its limit, and what
// stood still past it left out; its last at the end. Hostile stamps cannot
// take it past what 64 bits hold.
TEST(video_clock, frames)
{
    constexpr long long second = nanoseconds_per_second;
    video_clock replay = startClock(10, false, 0);
    const struct {
        timespec stamp;
        double speed;
        long long frame; // the picture before it gets, -1 for none
    } rows[] = {
        {{100, 0}, 1, -1},        // the first: nothing before it
        {{101, 0}, 1, 0},         // a second on: the first picture at frame 0
        {{101, 50000000}, 1, 10}, // 50 ms on: the second picture, at 1 s
        {{101, 60000000}, 1, -1}, // 10 ms on: the third falls in the same frame
        {{103, 60000000}, 2, 11}, // 2 s at twice the speed: 1 s of video
        {{90, 0}, 1, -1},         // stamped before: at once, no time passes
        {{3690, 0}, 1, 21},       // an hour on: ten seconds of it kept
    };
    for (const auto &row : rows) {
        const long long frame = frameBefore(replay, row.stamp, row.speed);
        EXPECT_EQ(frame, row.frame) << row.stamp.tv_sec;
        if (frame >= 0)
            framed(replay, frame);
        datagramShown(replay);
    }
    EXPECT_EQ(lastFrame(replay, 0), 121); // the last picture, at its time
    framed(replay, 121);
    EXPECT_EQ(lastFrame(replay, 0), -1); // the picture in hand has its frame
    EXPECT_EQ(lastStill(replay, 0), -1); // a replay's stills come with its frames
    pictureMoved(replay, 0);
    EXPECT_EQ(lastFrame(replay, 0), 122);

    video_clock live = startClock(30, true, 5 * second);
    EXPECT_EQ(liveDue(live), 5 * second);
    EXPECT_EQ(stillAt(live, 5 * second), -1); // the first picture is a frame
    EXPECT_EQ(frameAt(live, 5 * second + second / 2), 15);
    framed(live, 15);
    // Standing still: the encoder is told a second on, then every second,
    // up to ten seconds from when the picture was first shown, at 0.
    EXPECT_EQ(liveDue(live), 5 * second + 46 * second / 30);
    EXPECT_EQ(frameAt(live, 7 * second), -1);
    EXPECT_EQ(stillAt(live, 7 * second), 60);
    stillTold(live, 60);
    EXPECT_EQ(liveDue(live), 5 * second + 3 * second);
    stillTold(live, 290);
    EXPECT_EQ(liveDue(live), 5 * second + 10 * second); // to the limit
    EXPECT_EQ(stillAt(live, 3600 * second), 300);
    stillTold(live, 300);
    EXPECT_EQ(liveDue(live), -1); // nothing more until the picture changes
    EXPECT_EQ(lastStill(live, 3600 * second), -1);
    // It changes an hour later: the hour past the limit is left out.
    pictureMoved(live, 3605 * second);
    EXPECT_EQ(liveDue(live), 5 * second + (3600 - 10) * second + 10 * second);
    EXPECT_EQ(frameAt(live, 3605 * second), 300);
    framed(live, 300);
    EXPECT_EQ(lastFrame(live, 3606 * second), -1);
    EXPECT_EQ(lastStill(live, 3606 * second), 330); // the video lasts until the end
    pictureMoved(live, 3606 * second);
    EXPECT_EQ(lastFrame(live, 3606 * second), 330);

    video_clock hostile = startClock(1000, false, 0);
    for (long long n = 0; n < 20000; ++n) { // a day apart each, at the slowest speed
        if (const long long frame = frameBefore(hostile, {n * 86400, 0}, 0.01); frame >= 0)
            framed(hostile, frame);
        datagramShown(hostile);
    }
    EXPECT_EQ(videoMade(hostile), 19998 * still_limit + second / 1000); // each gap kept to it
    EXPECT_GT(lastFrame(hostile, 0), 0);
}

// --fps: a frame at most every interval, the latest drawn when it comes.
TEST(tempo, frame_cap)
{
    constexpr long long second = nanoseconds_per_second;
    frame_cap every{0, 0, 0, false};
    EXPECT_TRUE(frameNow(every, 5, false));
    EXPECT_TRUE(frameNow(every, 5, true)); // a frame for each, behind or not
    frame_cap capped{100, 0, 0, false};
    EXPECT_TRUE(frameNow(capped, 1000, false));
    EXPECT_FALSE(frameNow(capped, 1050, false));
    EXPECT_EQ(frameDue(capped, false), 1100);
    EXPECT_TRUE(frameNow(capped, 1100, false));
    EXPECT_EQ(frameDue(capped, false), -1);
    // Behind, the log comes first, for a second at most, and the frame
    // does not wake the loop before then.
    EXPECT_FALSE(frameNow(capped, 1200, true));
    EXPECT_EQ(frameDue(capped, true), 1100 + second);
    EXPECT_EQ(frameDue(capped, false), 1200);
    EXPECT_FALSE(frameNow(capped, 1100 + second - 1, true));
    EXPECT_TRUE(frameNow(capped, 1100 + second, true));
}

// The warning that frames lag: once, for drops no pause or log reader
// excuses, and not for those told with what came before a pause ended.
TEST(tempo, lag_warning)
{
    const struct {
        const char *name;
        bool armed;
        std::vector<std::uint64_t> drops;
        bool excused;
        timespec received;
        std::vector<bool> told;
    } rows[] = {
        {"first drops", true, {0, 3, 5}, false, {10, 0}, {false, true, false}},
        {"with --fps or a replay", false, {3}, false, {10, 0}, {false}},
        {"while paused", true, {3, 4}, true, {10, 0}, {false, false}},
        {"received before the pause ended", true, {3}, false, {4, 0}, {false}},
    };
    for (const auto &row : rows) {
        lag_watch lag{row.armed, false, false, 0, {5, 0}};
        for (std::size_t n = 0; n < row.drops.size(); ++n) {
            if (row.excused)
                excuseLag(lag);
            EXPECT_EQ(lagToTell(lag, row.drops[n], row.received, row.excused), row.told[n])
                << row.name << " " << n;
        }
    }
}

// The info line: what it says of each kind of datagram, the rate, the
// drops, a replay's speed and a pause.
TEST(describe, info_line)
{
    shown_datagram datagram{7, 60, {}};
    datagram.summary.family = 4;
    datagram.summary.has_ports = 1;
    datagram.summary.source_port = 43338;
    datagram.summary.destination_port = 8080;
    datagram.summary.flags = 0x12;
    inet_pton(AF_INET, "127.0.0.1", datagram.summary.source);
    inet_pton(AF_INET, "10.0.0.2", datagram.summary.destination);
    shown_datagram later = datagram;
    later.summary.shape = segment_shape::later_fragment;
    shown_datagram failed{3, -1, {}};
    const struct {
        const shown_datagram *datagram;
        double per_second;
        unsigned long dropped;
        double speed;
        const char *place;
        bool paused;
        const char *line;
    } rows[] = {
        {&datagram, 12, 0, 0, nullptr, false,
         "#7 IPv4 60B 127.0.0.1.43338 > 10.0.0.2.8080 [S.] 12/s drops\xA0"
         "0"},
        {&datagram, 0, 210, 4, "0:01:30.0 of 0:30:00.0 (5%)", true,
         "#7 IPv4 60B 127.0.0.1.43338 > 10.0.0.2.8080 [S.] 0/s drops\xA0"
         "210 \xD7"
         "4 0:01:30.0 of 0:30:00.0 (5%) paused"},
        {&later, 1, 0, 0.25, nullptr, false,
         "#7 IPv4 60B 127.0.0.1 > 10.0.0.2 fragment 1/s drops\xA0"
         "0 \xD7"
         "0.25"},
        {&failed, 0, 5, 0, nullptr, false,
         "#3 drops\xA0"
         "5"},
    };
    for (const auto &row : rows) {
        char line[line_limit];
        const std::size_t length = formatInfo(line, sizeof line, *row.datagram, row.per_second,
                                              row.dropped, row.speed, row.place, row.paused);
        EXPECT_EQ(std::string(line, length), row.line);
    }
    char tiny[16];
    EXPECT_EQ(formatInfo(tiny, sizeof tiny, datagram, 1, 1, 2, "0:00:01.0", true), sizeof tiny - 1);
}

// Where a replay is: within the part replayed, at its ends, with no end
// known (a pipe), and a part of no length.
TEST(describe, place)
{
    constexpr std::int64_t s = 1000000000;
    const struct {
        std::int64_t offset, from, end;
        const char *text;
    } rows[] = {
        {90 * s, 0, 1800 * s, "0:01:30.0 of 0:30:00.0 (5%)"},
        {0, 0, 1800 * s, "0:00:00.0 of 0:30:00.0 (0%)"},
        {1800 * s, 0, 1800 * s, "0:30:00.0 of 0:30:00.0 (100%)"},
        {11415 * s, 11400 * s, 11430 * s, "3:10:15.0 of 3:10:30.0 (50%)"},
        {5 * s / 2, 0, -1, "0:00:02.5"},
        {7 * s, 7 * s, 7 * s, "0:00:07.0 of 0:00:07.0 (100%)"},
    };
    for (const auto &row : rows) {
        char text[96];
        const std::size_t length = formatPlace(text, sizeof text, row.offset, row.from, row.end);
        EXPECT_EQ(std::string(text, length), row.text);
    }
}

// What libpcap is handed of a capture file as it comes: a step only once
// the whole of it is there, however the bytes arrive; a length libpcap
// would refuse, as it stands.
TEST(input, steps)
{
    const auto le32 = [](std::vector<unsigned char> &out, std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<unsigned char>(value >> shift));
    };
    std::vector<unsigned char> pcap;
    le32(pcap, 0xA1B2C3D4);
    pcap.resize(24);
    const std::size_t record = pcap.size();
    for (std::uint32_t value : {1000u, 0u, 40u, 40u})
        le32(pcap, value);
    pcap.resize(pcap.size() + 40);
    std::vector<unsigned char> huge = pcap;
    huge[record + 8] = 0xFF, huge[record + 9] = 0xFF, huge[record + 10] = 0xFF;

    std::vector<unsigned char> pcapng;
    const auto block = [&](std::uint32_t type, std::size_t body) {
        le32(pcapng, type);
        le32(pcapng, static_cast<std::uint32_t>(12 + body));
        if (type == 0x0A0D0D0A) {
            le32(pcapng, 0x1A2B3C4D);
            body -= 4;
        }
        pcapng.resize(pcapng.size() + body);
        le32(pcapng, static_cast<std::uint32_t>(12 + body + (type == 0x0A0D0D0A ? 4 : 0)));
    };
    block(0x0A0D0D0A, 16); // section
    const std::size_t section = pcapng.size();
    block(1, 8); // interface
    const std::size_t interface = pcapng.size();
    block(5, 20); // statistics, before the packet
    block(6, 60); // the packet
    const std::size_t packet = pcapng.size();

    const struct {
        const char *name;
        const std::vector<unsigned char> *file;
        bool opening;
        std::size_t from, available, step;
    } rows[] = {
        {"pcap header, partly", &pcap, true, 0, 10, 0},
        {"pcap header", &pcap, true, 0, pcap.size(), 24},
        {"a record, partly", &pcap, false, record, pcap.size() - record - 1, 0},
        {"a record", &pcap, false, record, pcap.size() - record, 56},
        {"a record libpcap refuses", &huge, false, record, 16, 16},
        {"pcapng up to its interface", &pcapng, true, 0, pcapng.size(), interface},
        {"pcapng before its interface", &pcapng, true, 0, interface - 1, 0},
        {"a packet and what comes before it", &pcapng, false, interface, pcapng.size() - interface,
         packet - interface},
        {"a packet, partly", &pcapng, false, interface, packet - interface - 1, 0},
    };
    for (const auto &row : rows) {
        framing reading{};
        if (row.from > 0) // the layout, as its start told it
            stepLength(reading, true, row.file->data(), row.file->size());
        EXPECT_EQ(stepLength(reading, row.opening, row.file->data() + row.from, row.available),
                  row.step)
            << row.name;
    }
    (void)section;
}

// Offsets as --from and --to take them, in ffmpeg's forms, and as the info
// line writes them.
TEST(clip, offsets)
{
    constexpr std::int64_t s = 1000000000;
    const struct {
        const char *text;
        bool taken;
        std::int64_t nanoseconds;
    } rows[] = {
        {"90", true, 90 * s},
        {"1:30", true, 90 * s},
        {"3:10:00.5", true, 11400 * s + s / 2},
        {"0.000000001", true, 1},
        {"1.5", true, 3 * s / 2},
        {"90s", true, 90 * s},
        {"250ms", true, s / 4},
        {"2.5ms", true, 2500000},
        {"10us", true, 10000},
        {"100:00:00", true, 360000 * s},
        {"00:59", true, 59 * s},
        {"1:60", false, 0},    // seconds under 60
        {"1:75:00", false, 0}, // minutes too
        {"-5", false, 0},      // an offset into a capture is never negative
        {"", false, 0},
        {"1:", false, 0},
        {":30", false, 0},
        {"1.", false, 0},
        {".5", false, 0},
        {"1:2:3:4", false, 0},
        {"1:30s", false, 0}, // a unit only after plain seconds
        {"5 s", false, 0},
        {"5m", false, 0},
        {"1e3", false, 0},
        {"9223372037", false, 0}, // past 64 bits of nanoseconds
        {"99999999999999999999", false, 0},
    };
    for (const auto &row : rows) {
        std::int64_t nanoseconds = 0;
        EXPECT_EQ(parseOffset(row.text, nanoseconds), row.taken) << row.text;
        EXPECT_EQ(nanoseconds, row.taken ? row.nanoseconds : nanoseconds) << row.text;
    }
    char text[32];
    const struct {
        std::int64_t nanoseconds;
        const char *text;
    } written[] = {
        {0, "0:00:00.0"},
        {-5, "0:00:00.0"},
        {90 * s + s / 4, "0:01:30.2"},
        {11400 * s + s / 2, "3:10:00.5"},
        {360000 * s, "100:00:00.0"},
    };
    for (const auto &row : written) {
        const std::size_t length = formatOffset(text, sizeof text, row.nanoseconds);
        EXPECT_EQ(std::string(text, length), row.text);
    }
    EXPECT_EQ(formatOffset(text, 4, 90 * s), 3u);
}

namespace
{

void put32(std::vector<unsigned char> &out, std::uint32_t value, bool big = false)
{
    for (int at = 0; at < 4; ++at)
        out.push_back(static_cast<unsigned char>(value >> (big ? 24 - 8 * at : 8 * at)));
}

// A pcap file of records captured so, stamped at seconds and a fraction.
struct recorded_packet {
    std::uint32_t seconds, fraction, captured;
};
std::vector<unsigned char> pcapFile(const std::vector<recorded_packet> &records, bool nano = false,
                                    bool big = false)
{
    std::vector<unsigned char> out;
    put32(out, nano ? 0xA1B23C4D : 0xA1B2C3D4, big);
    put32(out, 0x00040002, big); // the version, as its halves are read nowhere
    for (int field = 0; field < 3; ++field)
        put32(out, field == 1 ? 65535 : 0, big);
    put32(out, 101, big);
    for (const recorded_packet &record : records) {
        put32(out, record.seconds, big);
        put32(out, record.fraction, big);
        put32(out, record.captured, big);
        put32(out, record.captured, big);
        out.insert(out.end(), std::min<std::uint32_t>(record.captured, 1 << 20), 0x45);
    }
    return out;
}

// A pcapng block of a type with a body.
void block(std::vector<unsigned char> &out, std::uint32_t type, std::vector<unsigned char> body)
{
    while (body.size() % 4)
        body.push_back(0);
    put32(out, type);
    put32(out, static_cast<std::uint32_t>(body.size() + 12));
    out.insert(out.end(), body.begin(), body.end());
    put32(out, static_cast<std::uint32_t>(body.size() + 12));
}

std::vector<unsigned char> sectionBody()
{
    std::vector<unsigned char> body;
    put32(body, 0x1A2B3C4D);
    put32(body, 1); // version 1.0
    put32(body, 0xFFFFFFFF);
    put32(body, 0xFFFFFFFF); // its length not given
    return body;
}

// An interface with if_tsresol (resolution, or none with 0xFF) and
// if_tsoffset seconds.
std::vector<unsigned char> interfaceBody(unsigned resolution, std::int64_t offset)
{
    std::vector<unsigned char> body;
    put32(body, 101); // raw IP, reserved
    put32(body, 65535);
    if (resolution != 0xFF) {
        put32(body, 9 | 1 << 16);
        put32(body, resolution);
    }
    if (offset != 0) {
        put32(body, 14 | 8 << 16);
        put32(body, static_cast<std::uint32_t>(offset));
        put32(body, static_cast<std::uint32_t>(static_cast<std::uint64_t>(offset) >> 32));
    }
    put32(body, 0);
    return body;
}

std::vector<unsigned char> packetBody(std::uint32_t interface, std::uint64_t units)
{
    std::vector<unsigned char> body;
    put32(body, interface);
    put32(body, static_cast<std::uint32_t>(units >> 32));
    put32(body, static_cast<std::uint32_t>(units));
    put32(body, 20);
    put32(body, 20);
    body.insert(body.end(), 20, 0x45);
    return body;
}

timeline walkBytes(const std::vector<unsigned char> &bytes)
{
    char path[] = "/tmp/timeline-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    unlink(path);
    const timeline line = walkFile(fd, bytes.size());
    close(fd);
    return line;
}

} // namespace

// Where times are in a file, from its record headers alone: marks every
// so many records, the span, in every layout libpcap reads; a walk ends
// where libpcap would refuse the file, or where it is cut short.
TEST(timeline, walk)
{
    constexpr std::int64_t ms = 1000000;
    std::vector<recorded_packet> steady;
    for (std::uint32_t at = 0; at < 3000; ++at)
        steady.push_back({1000 + at / 100, at % 100 * 10000, 40 + at % 7 * 200});
    std::vector<unsigned char> cut = pcapFile(steady);
    cut.resize(cut.size() - 10);
    // Before version 2.3, the length on the wire came first (the captured
    // length's field here says 0).
    std::vector<unsigned char> old = pcapFile({{5, 0, 60}, {6, 0, 40}});
    old[6] = 2;
    std::fill(old.begin() + 32, old.begin() + 36, 0);
    std::vector<recorded_packet> huge = steady;
    huge[2500].captured = 262145;

    std::vector<unsigned char> ng;
    block(ng, 0x0A0D0D0A, sectionBody());
    block(ng, 1, interfaceBody(0xFF, 0));          // microseconds
    block(ng, 1, interfaceBody(9, 0));             // nanoseconds
    block(ng, 1, interfaceBody(0x80 | 10, 5));     // 1/1024 s, five seconds later
    block(ng, 6, packetBody(0, 1000000000));       // 1000 s
    block(ng, 6, packetBody(1, 1000250000000));    // 1000.25 s
    block(ng, 6, packetBody(2, 995 * 1024 + 512)); // 1000.5 s
    block(ng, 5, std::vector<unsigned char>(8));   // statistics: passed over
    block(ng, 6, packetBody(0, 1002000000));
    std::vector<unsigned char> late = ng;
    block(late, 1, interfaceBody(0xFF, 0));
    block(late, 6, packetBody(3, 1003000000));
    std::vector<unsigned char> unknown = ng;
    block(unknown, 6, packetBody(7, 1003000000)); // an interface that is not there

    const struct {
        const char *name;
        std::vector<unsigned char> bytes;
        std::uint64_t records;
        std::int64_t span;
        bool whole, direct;
        std::size_t marks;
    } rows[] = {
        {"pcap", pcapFile(steady), 3000, 29990 * ms, true, true, 3},
        {"pcap, nanoseconds, big-endian", pcapFile({{5, 999999999, 60}, {7, 5, 1500}}, true, true),
         2, 1000000006, true, true, 1},
        {"stamped back and forth", pcapFile({{10, 0, 40}, {5, 0, 40}, {12, 0, 40}, {11, 0, 40}}), 4,
         2000 * ms, true, true, 1},
        {"cut short", cut, 2999, 29980 * ms, false, true, 3},
        {"a record libpcap refuses", pcapFile(huge), 2500, 24990 * ms, false, true, 3},
        {"no records", pcapFile({}), 0, -1, true, true, 0},
        {"pcap 2.2, its lengths swapped", old, 2, 1000000000, true, true, 1},
        {"pcapng", ng, 4, 2000 * ms, true, true, 1},
        {"pcapng, an interface after packets", late, 5, 3000 * ms, true, false, 1},
        {"pcapng, a packet of no interface", unknown, 4, 2000 * ms, false, true, 1},
        {"not a capture", std::vector<unsigned char>(64, 7), 0, -1, false, true, 0},
    };
    for (const auto &row : rows) {
        const timeline line = walkBytes(row.bytes);
        EXPECT_EQ(line.records, row.records) << row.name;
        EXPECT_EQ(line.span, row.span) << row.name;
        EXPECT_EQ(line.whole, row.whole) << row.name;
        EXPECT_EQ(line.direct, row.direct) << row.name;
        EXPECT_EQ(line.marks.size(), row.marks) << row.name;
    }

    // A mark's step is where libpcap reads the record from; the last mark
    // before a time has nothing at or after it before it.
    const std::vector<unsigned char> bytes = pcapFile(steady);
    const timeline line = walkBytes(bytes);
    ASSERT_EQ(line.marks.size(), 3u);
    for (const mark &at : line.marks) {
        const std::uint32_t captured = bytes[at.at + 8] | bytes[at.at + 9] << 8;
        EXPECT_EQ(captured, steady[at.ordinal].captured);
    }
    EXPECT_EQ(markBefore(line, 0).ordinal, 0u);
    EXPECT_EQ(markBefore(line, 10230 * ms).ordinal, 0u); // record 1023 is at 10.23 s
    EXPECT_EQ(markBefore(line, 10231 * ms).ordinal, 1024u);
    EXPECT_EQ(markBefore(line, 15000 * ms).ordinal, 1024u);
    EXPECT_EQ(markBefore(line, 40000 * ms).ordinal, 2048u);
}
