// Picture: what the viewer hands the snapshot keeper when s is pressed. The
// channel is a SOCK_SEQPACKET socket pair; a request is one message, a
// picture_request with a memory file attached (SCM_RIGHTS) that holds the
// pixels: rows bottom first, as the GL reads them, three bytes (RGB) each.
// The keeper answers each request with one byte once it is done with it,
// so the viewer knows how many it has handed over and not yet seen saved.
#pragma once

#include <cstdint>

struct picture_request {
    std::uint32_t width, height, copies;
};

// The largest side a picture may have (X's), and the most copies one
// request may ask for: presses of s before one paint.
inline constexpr std::uint32_t picture_side_limit = 32767;
inline constexpr std::uint32_t copies_limit = 10;

// What a run's snapshots may take of the file system at most.
inline constexpr std::uint32_t snapshot_files_limit = 1000;
inline constexpr std::uint64_t snapshot_bytes_limit = std::uint64_t{1} << 30;
