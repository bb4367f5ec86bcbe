// Ring: the capture ring's size, -B in KiB, which the viewer reads from the
// command line and the helper maps: tcpdump's default, and the least and
// the most it takes.
#pragma once

inline constexpr unsigned ring_default_kib = 2048, ring_least_kib = 256,
                          ring_most_kib = 1024 * 1024;
