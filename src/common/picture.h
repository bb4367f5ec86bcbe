// Picture: what the viewer hands the snapshot keeper when s is pressed, and
// the encoder for each frame of --video: a record (record.h) with a memory
// file attached that holds the pixels, rows bottom first, as the GL reads
// them, three bytes (RGB) each. Each answers done once it has finished
// with one, so the viewer knows how many it has handed over and not yet
// seen through.
#pragma once

#include "record.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <vector>

// The largest side a picture may have (X's), and the most copies one
// request may ask for: presses of s before one paint.
inline constexpr std::uint32_t picture_side_limit = 32767;
inline constexpr std::uint32_t copies_limit = 10;

// What a run's snapshots may take of the file system at most.
inline constexpr std::uint32_t snapshot_files_limit = 1000;
inline constexpr std::uint64_t snapshot_bytes_limit = std::uint64_t{1} << 30;

// The kinds of video --video writes, by the file's extension: H.264 and VP9
// in 4:2:0, FFV1 in full RGB.
inline constexpr const char *video_extensions[] = {".mp4", ".webm", ".mkv"};
inline constexpr int h264_kind = 0, ffv1_kind = 2;

// Which of them path names, in any case, after a name of at least one
// character; -1 for none. Pure.
inline int videoKind(const char *path)
{
    const std::size_t length = std::strlen(path);
    for (int kind = 0; kind < static_cast<int>(std::size(video_extensions)); ++kind) {
        const std::size_t tail = std::strlen(video_extensions[kind]);
        if (length > tail && path[length - tail - 1] != '/' &&
            strcasecmp(path + length - tail, video_extensions[kind]) == 0)
            return kind;
    }
    return -1;
}

// The sides a video of a window width x height pixels is encoded at: of
// the 4:2:0 kinds (.mp4, .webm), an odd side gets one pixel more. Pure.
inline std::uint32_t encodedSide(int kind, std::uint32_t side)
{
    return kind == ffv1_kind ? side : (side + 1) & ~1u;
}

// The largest side H.264's encoder (x264) takes, and the most pixels
// FFmpeg takes in a frame, each side counted with 128 more.
inline constexpr std::uint64_t h264_side_limit = 16384;
inline constexpr std::uint64_t frame_area_limit = 0x7FFFFFFF / 8;

// Whether kind's encoder takes a video of a window width x height pixels.
// Pure.
inline bool videoSizeTaken(int kind, std::uint32_t width, std::uint32_t height)
{
    const std::uint64_t sides[] = {encodedSide(kind, width), encodedSide(kind, height)};
    return (kind != h264_kind || (sides[0] <= h264_side_limit && sides[1] <= h264_side_limit)) &&
           (sides[0] + 128) * (sides[1] + 128) < frame_area_limit;
}

// In the keeper and the encoder: the next record from the viewer, checked
// against the channel's rules in state, the memory file that came with it
// (or -1) and that file's size in bytes; nullptr once the viewer has gone.
// Anything else is no record a viewer sends: the process ends.
const record_header *takeFromViewer(channel_rules rules, std::uint8_t &state, int &pixels,
                                    std::uint64_t &bytes);

// All of a memory file's pixels; false where it holds fewer.
bool readPixels(int from, std::vector<unsigned char> &pixels);

// In the viewer: hands a child a picture without waiting, a record of kind
// with its fields and the pixels in a memory file of their own attached.
// False with errno set when the child cannot take it now (EAGAIN) or has
// ended.
bool handPicture(int channel, record_kind kind, const void *fields, std::size_t size,
                 const unsigned char *pixels, std::size_t bytes);
