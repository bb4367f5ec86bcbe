#include "capture.h"
#include "render.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

signed char byte(unsigned value) { return static_cast<signed char>(value); }

TEST(render, channel_of_byte)
{
    const struct {
        unsigned byte;
        float channel;
    } rows[] = {
        {0x00, 0.0f},        {0x7E, 0.0f},        {0x7F, 1.0f},        {0x80, 33818639.0f},
        {0xEF, 33818639.0f}, {0xF0, 33818640.0f}, {0xFF, 33818640.0f},
    };
    for (const auto &row : rows)
        EXPECT_EQ(channel(byte(row.byte)), row.channel) << std::hex << row.byte;
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
        {-1, 0}, {0, 0},   {1, 0},   {4, 0},   {5, 0},   {6, 1},   {7, 1},          {8, 1},
        {9, 1},  {10, 2},  {40, 9},  {41, 9},  {42, 10}, {43, 10}, {44, 10},        {65534, 16383},
        {65535, 16383},
    };
    for (const auto &row : rows)
        EXPECT_EQ(groupCount(trimmedCount(row.count)), row.groups) << row.count;
}

TEST(render, odd_counts_lose_their_last_byte)
{
    const int rows[][2] = {{-1, -1}, {0, 0}, {1, 0}, {40, 40}, {41, 40}, {65535, 65534}};
    for (const auto &row : rows)
        EXPECT_EQ(trimmedCount(row[0]), row[1]) << row[0];
}

TEST(capture, log_lines)
{
    const struct {
        int count;
        const char *source;
        const char *lines;
    } rows[] = {
        {40, "127.0.0.1", "Bytes received -->    40\nSource address --> 127.0.0.1\n"},
        {-1, "0.0.0.0", "Bytes received -->    -1\nSource address --> 0.0.0.0\n"},
        {65535, "192.168.100.200", "Bytes received --> 65535\nSource address --> 192.168.100.200\n"},
    };
    for (const auto &row : rows) {
        in_addr source{};
        inet_aton(row.source, &source);
        char lines[128];
        const int length = formatLog(lines, sizeof lines, row.count, source);
        EXPECT_EQ(std::string(lines, static_cast<std::size_t>(length)), row.lines);
    }
}

} // namespace
