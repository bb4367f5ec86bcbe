// Picture: what the viewer hands the snapshot keeper when s is pressed. The
// channel is a SOCK_SEQPACKET socket pair; a request is one message, a
// picture_request with a memory file attached (SCM_RIGHTS) that holds the
// pixels: rows bottom first, as the GL reads them, three bytes (RGB) each.
// The keeper answers each request with one byte once it is done with it,
// so the viewer knows how many it has handed over and not yet seen saved.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <vector>

struct picture_request {
    std::uint32_t width, height, copies;
};

// The first message to the keeper, once X has told: the largest picture
// it may be asked for, the window's size or the screen's, whichever is
// larger. A keeper that gets none (no window) ends.
struct picture_limits {
    std::uint32_t width, height;
};

// The largest side a picture may have (X's), and the most copies one
// request may ask for: presses of s before one paint.
inline constexpr std::uint32_t picture_side_limit = 32767;
inline constexpr std::uint32_t copies_limit = 10;

// What a run's snapshots may take of the file system at most.
inline constexpr std::uint32_t snapshot_files_limit = 1000;
inline constexpr std::uint64_t snapshot_bytes_limit = std::uint64_t{1} << 30;

// What the viewer hands the encoder for --video, the same way: one frame of
// the video's size, which is to be shown from pts (in frames of the
// video's rate) on, its pixels in the memory file attached. The encoder
// answers each with one byte once it is done with it, or with why it
// cannot go on, which ends it.
struct video_frame {
    std::uint32_t width, height;
    std::int64_t pts;
};

// The kinds of video --video writes, by the file's extension.
inline constexpr const char *video_extensions[] = {".mp4", ".webm", ".mkv"};

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

// In the keeper and the encoder: the next message of the channel, a header
// of exactly size bytes with a memory file attached, and that file's size
// in bytes. 1 for such a message, 0 once the viewer has gone, -1 for
// anything else, which no viewer sends.
int takePicture(void *header, std::size_t size, int &pixels, std::uint64_t &bytes);

// All of a memory file's pixels; false where it holds fewer.
bool readPixels(int from, std::vector<unsigned char> &pixels);
