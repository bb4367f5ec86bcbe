#include "capture.h"
#include "render.h"
#include "shell.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

namespace
{

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

TEST(capture, log_lines)
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
    };
    for (const auto &row : rows) {
        in_addr source{};
        inet_aton(row.source, &source);
        char lines[128];
        const int length = formatLog(lines, sizeof lines, row.count, source);
        EXPECT_EQ(std::string(lines, static_cast<std::size_t>(length)), row.lines);
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

TEST(shell, options)
{
    const struct {
        std::vector<const char *> arguments;
        verdict outcome;
        char mode = 'p';
        std::int32_t winx = 500, winy = 500;
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
        {{"-w", "99999999999"}, verdict::run, 'p', INT32_MAX, 500},
        {{"-w", "-99999999999999999999"}, verdict::run, 'p', INT32_MIN, 500},
        {{"-help", "300"}, verdict::run, 'p', 500, 300},
        {{"300"}, verdict::refused},
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
    };
    for (const auto &row : rows) {
        std::vector<const char *> argv{"skevla"};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        const std::vector<const char *> before = argv;
        char mode = 'p';
        std::int32_t winx = 500, winy = 500;
        const verdict outcome =
            parseOptions(static_cast<int>(argv.size()), argv.data(), mode, winx, winy);
        const std::string label = ::testing::PrintToString(row.arguments);
        EXPECT_EQ(outcome, row.outcome) << label;
        if (row.outcome == verdict::run) {
            EXPECT_EQ(std::tie(mode, winx, winy), std::tie(row.mode, row.winx, row.winy)) << label;
        }
        EXPECT_EQ(argv, before) << label;
    }
}

} // namespace
