// Keeper: the process that writes snapshots. The viewer holds the X
// connection and takes what the capture process sends, so it may write no
// file at all; this small process, forked before the viewer boxes itself,
// holds one directory and a channel and nothing else. It makes every file
// name itself and creates each file relative to that directory, never at a
// path it was sent, under an allowlist whose one open pins the directory
// and the flags, and under Landlock beneath the directory where the kernel
// has it. It ends with the viewer.
#pragma once

#include <cstdint>
#include <sys/types.h>

// What the viewer sends for a snapshot: the picture's size and how many
// presses of s it answers. Its pixels follow: rows bottom first, as the GL
// reads them, three bytes (RGB) each.
struct snapshot_request {
    std::uint32_t width, height, copies;
};

// The largest side a picture may have (X's), and the most copies one
// request may ask for.
inline constexpr std::uint32_t picture_side_limit = 32767;
inline constexpr std::uint32_t copies_limit = 100;

// The keeper's life: boxes itself in as the user the snapshots belong to
// (under sudo the one who ran it; root, with no capability, when started
// as root), then saves what the viewer sends on channel beneath directory,
// saying on standard error what it saved or why not.
[[noreturn]] void keepSnapshots(int channel, int directory, pid_t parent, bool sandbox);
