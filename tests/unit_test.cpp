#include "authority.h"
#include "filter.h"
#include "frame.h"
#include "interfaces.h"
#include "loop.h"
#include "options.h"
#include "pace.h"
#include "picture.h"
#include "privileges.h"
#include "progress.h"
#include "record.h"
#include "render.h"
#include "report.h"
#include "shell.h"
#include "state.h"
#include "summary.h"

#include <X11/Xauth.h>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <pcap/dlt.h>
#include <string>
#include <tuple>
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
    const struct {
        int count, groups;
    } rows[] = {
        {-1, 0},  {0, 0},   {1, 0},   {4, 0},         {5, 0},         {6, 1},
        {7, 1},   {8, 1},   {9, 1},   {10, 2},        {40, 9},        {41, 9},
        {42, 10}, {43, 10}, {44, 10}, {65534, 16383}, {65535, 16383},
    };
    for (const auto &row : rows)
        EXPECT_EQ(groupCount(trimmedCount(row.count)), row.groups) << row.count;
}

TEST(render, no_group_reaches_past_the_count)
{
    for (int count = -1; count <= 65535; ++count) {
        const int drawn = trimmedCount(count);
        int groups = 0; // the rule as stated: offsets 0, 4, ... below drawn - 4
        for (int offset = 0; offset < drawn - 4; offset += 4)
            ++groups;
        ASSERT_EQ(groupCount(drawn), groups) << count;
        ASSERT_LE(4 * groups, std::max(drawn - 1, 0)) << count;
    }
}

TEST(render, odd_counts_lose_their_last_byte)
{
    const int rows[][2] = {{-1, -1}, {0, 0}, {1, 0}, {40, 40}, {41, 40}, {65535, 65534}};
    for (const auto &row : rows)
        EXPECT_EQ(trimmedCount(row[0]), row[1]) << row[0];
}

TEST(report, log_lines)
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

TEST(report, counts_line)
{
    const struct {
        tally seen;
        const char *line;
    } rows[] = {
        {{0, 0, 0, nullptr}, "skevla: 0 datagrams received, 0 dropped by the kernel\n"},
        {{1, 1, 0, nullptr}, "skevla: 1 datagram received, 1 dropped by the kernel\n"},
        {{70312, 4096, 3, nullptr},
         "skevla: 70312 datagrams received, 4096 dropped by the kernel\n"},
        {{1, 0, 1, "x.pcap"}, "skevla: 1 datagram received from x.pcap, 1 packet skipped\n"},
        {{9, 0, 0, "-"}, "skevla: 9 datagrams received from -, 0 packets skipped\n"},
    };
    for (const auto &row : rows) {
        char line[256];
        EXPECT_EQ(std::string(line, formatCounts(line, sizeof line, row.seen)), row.line);
    }
}

// What the viewer takes from the capture process, which parses hostile
// bytes: nothing that does not check out.
TEST(record, checked_before_use)
{
    const auto message = [](record_kind kind, std::int32_t length, std::uint32_t follows,
                            std::size_t extra = 0, std::int32_t status = 1) {
        record_header header{};
        header.kind = kind;
        header.length = length;
        header.captured = follows;
        header.status = status;
        header.summary.family = 4;
        std::vector<unsigned char> bytes(sizeof header + follows + extra, 'x');
        std::memcpy(bytes.data(), &header, sizeof header);
        return bytes;
    };
    auto stamped = message(record_kind::datagram, 40, 40);
    reinterpret_cast<record_header *>(stamped.data())->nanoseconds = 1000000000;
    auto shaped = message(record_kind::datagram, 40, 40);
    reinterpret_cast<record_header *>(shaped.data())->summary.shape = segment_shape{9};
    auto bad_hlen = message(record_kind::datagram, 40, 40);
    reinterpret_cast<record_header *>(bad_hlen.data())->summary.shape = segment_shape::bad_hlen;
    auto hlen_not_bad = bad_hlen;
    reinterpret_cast<record_header *>(hlen_not_bad.data())->summary.ip_header_length = 20;
    auto all_missing = message(record_kind::datagram, 40, 40);
    reinterpret_cast<record_header *>(all_missing.data())->summary.missing = 65536;
    auto texted = message(record_kind::gone, 0, 3);
    texted.back() = '\033';
    const struct {
        const char *name;
        std::vector<unsigned char> bytes;
        bool usable;
    } rows[] = {
        {"datagram", message(record_kind::datagram, 40, 40), true},
        {"failed receive", message(record_kind::datagram, -1, 0), true},
        {"the largest", message(record_kind::datagram, 65535, 65535), true},
        {"past the buffer", message(record_kind::datagram, 65536, 65536), false},
        {"bytes but the length", message(record_kind::datagram, 60, 40), false},
        {"more than it says", message(record_kind::datagram, 40, 40, 1), false},
        {"shorter than a header", {1, 0, 0, 0}, false},
        {"a stamp past its second", stamped, false},
        {"an unknown shape", shaped, false},
        {"a bad IPv4 header length", bad_hlen, true},
        {"a header length called bad that is not", hlen_not_bad, false},
        {"more missing than any datagram holds", all_missing, false},
        {"IPv4 addresses without a header", message(record_kind::datagram, 8, 8), false},
        {"an unknown kind", message(record_kind{99}, 0, 0), false},
        {"the cause", message(record_kind::gone, 0, 12), true},
        {"a terminal escape in the cause", texted, false},
        {"a failure's status", message(record_kind::failed, 0, 0, 0, 2), true},
        {"a status no failure has", message(record_kind::failed, 0, 0, 0, 3), false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(checkRecord(row.bytes.data(), row.bytes.size()), row.usable) << row.name;
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

TEST(loop, rate_of_the_last_second)
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

TEST(privileges, shell_word)
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

TEST(privileges, sudo_ids)
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
        {{"--video"}, verdict::refused},
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
